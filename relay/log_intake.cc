// The log intake: after a wake-up, every datagram already queued on the
// log socket (up to a batch) is taken in one receive and passed on to the
// echo, the continuous-dump file, the loop buffer and the live stream.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clients.h"
#include "server_state.h"

// Each datagram lands in its own buffer, so each keeps its own cut.
// Returns the number taken (0 when nothing was queued after all), or -1.
static int receiveBatch(int log_fd, LogBatch *b)
{
    mmsghdr msgs[LOG_BATCH_MAX];
    memset(msgs, 0, sizeof msgs); // the C library may have padding fields
    for (int i = 0; i < LOG_BATCH_MAX; i++) {
        b->taken[i].iov_base = b->text[i];
        b->taken[i].iov_len = DATAGRAM_MAX;
        msgs[i].msg_hdr.msg_iov = &b->taken[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(log_fd, msgs, LOG_BATCH_MAX, MSG_DONTWAIT, NULL);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < n; i++) {
        b->taken[i].iov_len = msgs[i].msg_len;
        b->text[i][msgs[i].msg_len] = '\0';
    }
    return n;
}

// The echo treats each datagram as a C string: it stops at a NUL.
static void echo(const LogBatch *b)
{
    for (int i = 0; i < b->count; i++)
        printf("%s", b->text[i]);
    fflush(stdout);
}

int RelayTakeLog(ServerState *st)
{
    LogBatch *b = &st->batch;
    b->count = receiveBatch(st->log_fd, b);
    if (b->count <= 0)
        return b->count;
    if (st->verbose)
        echo(b);
    if (st->cont_fd > 0) {
        ssize_t ignored = writev(st->cont_fd, b->taken, b->count);
        (void)ignored;
    }
    for (int i = 0; i < b->count; i++)
        LoopBufferWrite(st->lb, b->text[i], b->taken[i].iov_len);
    RelayClientsFanOut(b->taken, b->count);
    return 0;
}
