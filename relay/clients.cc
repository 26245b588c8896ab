#include "clients.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// A client that has lost more datagrams than this to live-stream sends
// that would have blocked, over its whole connection, can't keep up and
// is dropped: after at most this many and one batch more.
#define BLOCKED_SENDS_LIMIT 50
#define SEND_WAIT_SECONDS 3

// A peer that vanished without a word (cable pulled, power lost) is
// noticed within about idle + interval * probes seconds, and its slot freed.
#define KEEPALIVE_IDLE_SECONDS 60
#define KEEPALIVE_INTERVAL_SECONDS 10
#define KEEPALIVE_PROBES 3

ClientSlot sSocks[MAX_CLIENTS];
int n_client;

static int findFreeSlot(void)
{
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (sSocks[i].fd <= 0)
            return i;
    return -1;
}

// Descriptor 0 marks a free slot, so a connection that lands on it (the
// server runs with standard input closed) moves to another number.
static int moveOffZero(int fd)
{
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

static int waitWritable(int fd)
{
    fd_set wset;
    FD_ZERO(&wset);
    FD_SET(fd, &wset);
    timeval tv = {SEND_WAIT_SECONDS, 0};
    return select(fd + 1, NULL, &wset, NULL, &tv);
}

// The datagrams of a batch that a send of accepted bytes lost: those that
// hold a byte and start at or after the point where it stopped.
static int lostDatagrams(const iovec *datagrams, int count, size_t accepted)
{
    int lost = 0;
    size_t at = 0;
    for (int i = 0; i < count; i++) {
        if (at >= accepted && datagrams[i].iov_len > 0)
            lost++;
        at += datagrams[i].iov_len;
    }
    return lost;
}

// A client that has lost bytes gets nothing more, so what it has is a
// prefix of the stream; every later datagram counts as lost to it.
static void sendLive(int slot, const iovec *datagrams, int count, size_t bytes)
{
    ClientSlot *c = &sSocks[slot];
    size_t accepted = 0;
    if (!c->behind) {
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = const_cast<iovec *>(datagrams);
        msg.msg_iovlen = count;
        // A short send is not completed: the stream never waits.
        ssize_t n = sendmsg(c->fd, &msg, MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            RelayClientClose(slot);
            return;
        }
        accepted = n < 0 ? 0 : n;
    }
    c->behind = accepted < bytes;
    c->blocked_sends += lostDatagrams(datagrams, count, accepted);
    if (c->blocked_sends > BLOCKED_SENDS_LIMIT)
        RelayClientClose(slot);
}

// Lines are sent as they come, not held back to fill a segment.
static void sendAtOnce(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A client that never asks for the stream is never written to, so
// without probes a dead peer would hold its slot until the relay restarts.
// A setting that fails leaves a connection that works all the same.
static void setKeepAlive(int fd)
{
    const int on = 1, idle = KEEPALIVE_IDLE_SECONDS, interval = KEEPALIVE_INTERVAL_SECONDS,
              probes = KEEPALIVE_PROBES;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

int RelayClientsAddToSet(fd_set *set, int maxfd)
{
    for (int i = 0; i < MAX_CLIENTS; i++) {
        if (sSocks[i].fd <= 0)
            continue;
        FD_SET(sSocks[i].fd, set);
        if (sSocks[i].fd > maxfd)
            maxfd = sSocks[i].fd;
    }
    return maxfd;
}

void RelayClientClose(int slot)
{
    close(sSocks[slot].fd);
    sSocks[slot].fd = -1;
    n_client--;
}

void RelayClientsCloseAll(void)
{
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (sSocks[i].fd > 0)
            RelayClientClose(i);
}

// A batch of empty datagrams has nothing a client could see.
void RelayClientsFanOut(const iovec *datagrams, int count)
{
    size_t bytes = 0;
    for (int i = 0; i < count; i++)
        bytes += datagrams[i].iov_len;
    if (n_client <= 0 || bytes == 0)
        return;
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (sSocks[i].fd > 0 && sSocks[i].state == CLIENT_ACTIVE)
            sendLive(i, datagrams, count, bytes);
}

// Close-on-exec keeps dump commands and remote commands from holding a
// connection open after the server has closed it.
void RelayClientAccept(int listen_fd)
{
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    memset(&peer, 0, sizeof peer);
    int fd = accept4(listen_fd, (sockaddr *)&peer, &len, SOCK_CLOEXEC);
    if (fd == 0)
        fd = moveOffZero(fd);
    if (fd < 0)
        return;
    printf("Connection from: %s:%d", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
    // A descriptor beyond FD_SETSIZE can't be waited for with select.
    int slot = fd < FD_SETSIZE ? findFreeSlot() : -1;
    if (slot < 0) {
        printf(" refused.\n");
        close(fd);
        return;
    }
    setKeepAlive(fd);
    sendAtOnce(fd);
    sSocks[slot].fd = fd;
    sSocks[slot].blocked_sends = 0;
    sSocks[slot].state = CLIENT_NEW;
    sSocks[slot].behind = 0;
    n_client++;
    printf(" accepted.\n");
}

void RelayClientSendWaiting(int fd, const unsigned char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        if (waitWritable(fd) <= 0)
            return;
        ssize_t n = send(fd, buf + done, len - done, MSG_DONTWAIT);
        if (n <= 0)
            return;
        done += n;
    }
}

void sendLoopBuff(int fd, const LoopBuffer *lb)
{
    LoopBufferSegment seg[2];
    int n = LoopBufferGetPtr(lb, seg);
    for (int i = 0; i < n; i++)
        RelayClientSendWaiting(fd, seg[i].addr, seg[i].len);
}
