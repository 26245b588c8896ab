// The words a TCP client sends to control the server.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "clients.h"
#include "dump.h"
#include "remote.h"
#include "server_state.h"

#define VERSION "morv v0.1[%x]\n"

// Dump requests a client may set; each is carried out at the top of the
// next pass, like one from a signal.
struct DumpWord {
    const char *word;
    int request;
};

static const DumpWord DUMP_WORDS[] = {
    {"snap", DUMP_SNAP},
    {"dump", DUMP_CONT},
    {"nodump", DUMP_STOP},
};

// Sent without waiting: a client that asks and never reads would
// otherwise hold the whole loop for every reply. A reply that finds no
// room is dropped.
static void sendVersion(ServerState *st, int fd)
{
    int n = snprintf(st->datagram, sizeof st->datagram, VERSION, st->cont_fd > 0 ? 1 : 0);
    if (n < 0 || (size_t)n >= sizeof st->datagram)
        return;
    ssize_t sent = send(fd, st->datagram, n, MSG_DONTWAIT);
    (void)sent;
}

static void activate(ServerState *st, ClientSlot *c)
{
    if (c->state == CLIENT_NEW)
        sendLoopBuff(c->fd, st->lb);
    c->state = CLIENT_ACTIVE;
}

static int setDumpWord(const char *text)
{
    for (const DumpWord &w : DUMP_WORDS) {
        if (strcmp(text, w.word) == 0) {
            dump_out = w.request;
            return 1;
        }
    }
    return 0;
}

// Words 1 to 9 match the whole text, case included; returns 1 on a match.
static int doExactWord(ServerState *st, ClientSlot *c, const char *text)
{
    if (strcmp(text, "getver") == 0)
        sendVersion(st, c->fd);
    else if (strcmp(text, "act") == 0)
        activate(st, c);
    else if (strcmp(text, "deact") == 0)
        c->state = CLIENT_INACTIVE;
    else if (strcmp(text, "v=1") == 0)
        st->verbose = 1;
    else if (strcmp(text, "v=0") == 0)
        st->verbose = 0;
    else if (strcmp(text, "autodump") == 0) {
        dump_out = DUMP_CONT;
        set_autodump(1);
    } else
        return setDumpWord(text); // "snap", "dump", "nodump"
    return 1;
}

// Carries out one text; returns 1 when the connection is to be closed.
static int doText(ServerState *st, ClientSlot *c, char *text)
{
    if (doExactWord(st, c, text))
        return 0;
    if (strncasecmp(text, "noautodump", 10) == 0) {
        dump_out = DUMP_STOP;
        set_autodump(0);
        return 0;
    }
    if (strncasecmp(text, "fetchlogs", 9) == 0) {
        RelayFetchLogs(c->fd);
        return 1;
    }
    RelayRunCommand(text, c->fd); // the connection stays open
    return 0;
}

void RelayServeClient(ServerState *st, int slot)
{
    ClientSlot *c = &sSocks[slot];
    ssize_t n = recv(c->fd, st->text, CLIENT_TEXT_MAX, 0);
    if (n <= 0) {
        RelayClientClose(slot);
        return;
    }
    st->text[n] = '\0';
    if (doText(st, c, st->text))
        RelayClientClose(slot);
}
