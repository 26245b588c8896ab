// The server loop: waits on the log socket, the listening socket and the
// client connections, then hands each ready descriptor to its step.
#include "server.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clients.h"
#include "dump.h"
#include "server_state.h"

static void dumpSignals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGUSR2);
    sigaddset(set, SIGRTMIN);
}

// The dump signals stay blocked except while the loop waits, so one that
// comes after the dump step has taken its request still ends the wait at
// once instead of lying pending until the next event.
static void blockDumpSignals(sigset_t *caller, sigset_t *wait_mask)
{
    sigset_t dump;
    dumpSignals(&dump);
    sigprocmask(SIG_BLOCK, &dump, caller);
    *wait_mask = *caller;
    sigdelset(wait_mask, SIGUSR1);
    sigdelset(wait_mask, SIGUSR2);
    sigdelset(wait_mask, SIGRTMIN);
}

static int buildReadSet(const ServerState *st, fd_set *set)
{
    FD_ZERO(set);
    FD_SET(st->listen_fd, set);
    FD_SET(st->log_fd, set);
    int maxfd = st->listen_fd > st->log_fd ? st->listen_fd : st->log_fd;
    return RelayClientsAddToSet(set, maxfd);
}

// A slot that the log intake has just closed has fd -1 and is skipped.
static void serveClients(ServerState *st, const fd_set *ready)
{
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (sSocks[i].fd > 0 && FD_ISSET(sSocks[i].fd, ready))
            RelayServeClient(st, i);
}

// A request is carried out with the dump signals unblocked, so the shells
// that its -e commands start don't inherit them blocked.
static void runDumpStep(ServerState *st, const sigset_t *wait_mask)
{
    int request = TakeDumpRequest();
    if (request != DUMP_NOREQ) {
        sigset_t blocked;
        sigprocmask(SIG_SETMASK, wait_mask, &blocked);
        DumpStep(request, st->lb, st->max_file, &st->dump_mode, &st->cont_fd);
        sigprocmask(SIG_SETMASK, &blocked, NULL);
    }
}

// One pass of the loop; -1 when the loop is to end.
static int runPass(ServerState *st, const sigset_t *wait_mask)
{
    runDumpStep(st, wait_mask);
    fd_set ready;
    int maxfd = buildReadSet(st, &ready);
    // A signal that came while the dump step ran has left its request
    // behind: look at what is ready without waiting, and take it next pass.
    struct timespec no_wait = {0, 0};
    const struct timespec *timeout = dump_out != DUMP_NOREQ ? &no_wait : NULL;
    if (pselect(maxfd + 1, &ready, NULL, NULL, timeout, wait_mask) < 0) {
        if (errno == EINTR)
            return 0; // a dump signal: the next pass takes its request
        perror("select");
        return -1;
    }
    if (FD_ISSET(st->log_fd, &ready) && RelayTakeLog(st) < 0)
        return -1;
    serveClients(st, &ready);
    if (FD_ISSET(st->listen_fd, &ready))
        RelayClientAccept(st->listen_fd);
    return 0;
}

// select can't watch a descriptor beyond FD_SETSIZE; the server would
// have inherited about a thousand open descriptors to get one.
static int waitable(const ServerState *st)
{
    if (st->log_fd < FD_SETSIZE && st->listen_fd < FD_SETSIZE)
        return 1;
    errno = EBADF;
    perror("select");
    return 0;
}

// The continuous-dump file stays open: the end of the process closes it.
static void endLoop(ServerState *st)
{
    LoopBufferUninit(st->lb);
    close(st->listen_fd);
    close(st->log_fd);
    RelayClientsCloseAll();
}

int RelayServerLoop(int log_fd, int listen_fd, LoopBuffer *lb, int verbose, int max_file)
{
    static ServerState st;
    memset(&st, 0, sizeof st);
    st.log_fd = log_fd;
    st.listen_fd = listen_fd;
    st.lb = lb;
    st.verbose = verbose;
    st.max_file = max_file;
    st.dump_mode = DUMP_NOREQ;
    st.cont_fd = -1;
    sigset_t caller, wait_mask;
    blockDumpSignals(&caller, &wait_mask);
    if (waitable(&st))
        while (runPass(&st, &wait_mask) == 0) {
        }
    endLoop(&st);
    sigprocmask(SIG_SETMASK, &caller, NULL);
    return 0;
}
