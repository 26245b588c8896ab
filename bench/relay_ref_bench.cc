// Reference relay for relay_bench.sh: the smallest server of the shape
// morv's loop had before it took datagrams in batches. select over a
// datagram socket at /var/run/morv.sock, a TCP listener and up to four
// clients; each wake-up takes one datagram, copies it into an 8 KiB ring
// and sends it with MSG_DONTWAIT to every client that sent "act" (which
// first gets the ring's content). Run it in a private mount namespace,
// like the real server.
//   relay_ref_bench PORT
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const size_t RING = 8192;
unsigned char ring[RING];
size_t ring_start, ring_count;

struct Client {
    int fd;
    bool active;
};
Client clients[4];

void ringWrite(const char *p, size_t n)
{
    if (n >= RING) {
        memcpy(ring, p + n - RING, RING);
        ring_start = 0;
        ring_count = RING;
        return;
    }
    size_t w = (ring_start + ring_count) % RING;
    size_t k = n < RING - w ? n : RING - w;
    memcpy(ring + w, p, k);
    memcpy(ring, p + k, n - k);
    ring_count += n;
    if (ring_count > RING) {
        ring_start = (w + n) % RING;
        ring_count = RING;
    }
}

void sendHistory(int fd)
{
    size_t first = ring_count < RING - ring_start ? ring_count : RING - ring_start;
    if (first)
        send(fd, ring + ring_start, first, 0);
    if (ring_count > first)
        send(fd, ring, ring_count - first, 0);
}

int bindLog(void)
{
    sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, "/var/run/morv.sock");
    unlink(a.sun_path);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0) {
        perror("bind log");
        exit(1);
    }
    return fd;
}

int listenTcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 5) != 0) {
        perror("bind");
        exit(1);
    }
    return fd;
}

void takeLog(int log_fd)
{
    char buf[2048];
    ssize_t n = recv(log_fd, buf, 2047, 0);
    if (n < 0)
        exit(0);
    ringWrite(buf, n);
    for (Client &c : clients)
        if (c.fd > 0 && c.active && send(c.fd, buf, n, MSG_DONTWAIT) < 0 && errno != EAGAIN) {
            close(c.fd);
            c.fd = -1;
        }
}

void serveClient(Client &c)
{
    char buf[257];
    ssize_t n = recv(c.fd, buf, 256, 0);
    if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        return;
    }
    buf[n] = 0;
    if (strcmp(buf, "act") == 0 && !c.active) {
        sendHistory(c.fd);
        c.active = true;
    }
}

void acceptClient(int listen_fd)
{
    int fd = accept(listen_fd, NULL, NULL);
    for (Client &c : clients)
        if (fd > 0 && c.fd <= 0) {
            c = Client{fd, false};
            return;
        }
    if (fd > 0)
        close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    int port = argc > 1 ? atoi(argv[1]) : 3201;
    signal(SIGPIPE, SIG_IGN);
    int log_fd = bindLog();
    int listen_fd = listenTcp(port);
    printf("listen on port %d.\n", port);
    fflush(stdout);
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(log_fd, &rd);
        FD_SET(listen_fd, &rd);
        int maxfd = log_fd > listen_fd ? log_fd : listen_fd;
        for (Client &c : clients)
            if (c.fd > 0) {
                FD_SET(c.fd, &rd);
                maxfd = c.fd > maxfd ? c.fd : maxfd;
            }
        if (select(maxfd + 1, &rd, NULL, NULL, NULL) < 0)
            continue;
        if (FD_ISSET(log_fd, &rd))
            takeLog(log_fd);
        for (Client &c : clients)
            if (c.fd > 0 && FD_ISSET(c.fd, &rd))
                serveClient(c);
        if (FD_ISSET(listen_fd, &rd))
            acceptClient(listen_fd);
    }
}
