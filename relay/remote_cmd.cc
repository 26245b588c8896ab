// Remote commands: an allowed command runs through the shell in the
// relay's working directory; the client gets a header and its output.
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>

#include "remote.h"

#define OUTPUT_BLOCK 2048

static const char HEADER[] =
    "\n==============================================================\n[[[[%s]]]\n";

int RelaySendAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, buf, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

void RelayUnblockDumpSignals(sigset_t *saved)
{
    sigset_t dump;
    sigemptyset(&dump);
    sigaddset(&dump, SIGUSR1);
    sigaddset(&dump, SIGUSR2);
    sigaddset(&dump, SIGRTMIN);
    sigprocmask(SIG_UNBLOCK, &dump, saved);
}

// The shell inherits the mask at the fork inside popen; the relay blocks
// the dump signals again at once, so they can't cut its reads and sends.
static FILE *startCommand(const char *cmd)
{
    sigset_t saved;
    RelayUnblockDumpSignals(&saved);
    FILE *out = popen(cmd, "r");
    sigprocmask(SIG_SETMASK, &saved, NULL);
    return out;
}

// The output is read to its end even when the client has gone, so the
// command never blocks on a full pipe and pclose can wait for it.
void RelayRunCommand(char *text, int fd)
{
    const char *cmd = RelayCommandText(text);
    if (!cmd)
        return;
    FILE *out = startCommand(cmd);
    char block[OUTPUT_BLOCK];
    int n = snprintf(block, sizeof block, HEADER, cmd);
    if (n > 0 && (size_t)n < sizeof block)
        RelaySendAll(fd, block, (size_t)n);
    if (!out)
        return;
    size_t got;
    while ((got = fread(block, 1, sizeof block, out)) > 0)
        RelaySendAll(fd, block, got);
    pclose(out);
}
