#include "net.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

bool ParseTarget(const std::string &arg, Target *t)
{
    std::string host = arg, port = "3201";
    size_t colon = arg.rfind(':');
    if (!arg.empty() && arg[0] == '[') {
        size_t close = arg.find(']');
        if (close == std::string::npos)
            return false;
        host = arg.substr(1, close - 1);
        if (close + 1 < arg.size()) {
            if (arg[close + 1] != ':')
                return false;
            port = arg.substr(close + 2);
        }
    } else if (colon != std::string::npos && arg.find(':') == colon) {
        host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
    }
    char *end = nullptr;
    long n = strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || n < 1 || n > 65535)
        return false;
    t->host = host;
    t->port = port;
    t->name = host + ":" + port;
    return true;
}

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// A non-blocking connect, so that a camera that is off does not hold us
// for the system's two minutes.
static int connectOne(const addrinfo *ai, int timeout_ms)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, timeout_ms) == 0)
            err = ETIMEDOUT;
        else
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        rc = err ? -1 : 0;
        errno = err;
    }
    if (rc < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    fcntl(fd, F_SETFL, flags);
    return fd;
}

// A camera that loses power sends no FIN, and a follower sends nothing
// after "act": without probes the connection would look alive for ever.
// The restarted camera answers a probe with a reset, which -r sees in
// about half a minute.
static void setKeepAlive(int fd)
{
    int on = 1, idle = 15, interval = 5, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

int ConnectRelay(const Target &t, int timeout_ms)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(t.host.c_str(), t.port.c_str(), &hints, &list);
    if (rc != 0) {
        fprintf(stderr, "morvcat: %s: %s\n", t.name.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1, err = 0;
    for (addrinfo *ai = list; ai && fd < 0; ai = ai->ai_next) {
        fd = connectOne(ai, timeout_ms);
        if (fd < 0)
            err = errno;
    }
    freeaddrinfo(list);
    if (fd >= 0)
        setKeepAlive(fd);
    if (fd < 0)
        fprintf(stderr, "morvcat: %s: %s%s\n", t.name.c_str(), strerror(err),
                err == ECONNREFUSED ? " (is the relay running?)" : "");
    return fd;
}

bool SendAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

long ReadSome(int fd, char *buf, size_t len, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return -2;
    if (n < 0)
        return -1;
    ssize_t got;
    do {
        got = read(fd, buf, len);
    } while (got < 0 && errno == EINTR);
    return got;
}
