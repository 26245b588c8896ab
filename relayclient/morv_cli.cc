// Standard output and error of a process into the relay's log socket.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "relayclient.h"

#define RELAY_SOCKET "/var/run/morv.sock"

// The length bind and connect are given: the family and the path without
// its terminator.
static socklen_t addressLength(const sockaddr_un *a)
{
    return (socklen_t)(offsetof(sockaddr_un, sun_path) + strlen(a->sun_path));
}

// Descriptor 0 reads as failure to callers; a socket that got it (standard
// input closed) moves up.
static int moveOffZero(int fd)
{
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

// A failed bind is ignored: the datagrams then carry no sender path.
static void bindOwnPath(int fd, sockaddr_un *a, const char *own_path)
{
    memcpy(a->sun_path, own_path, strlen(own_path) + 1);
    unlink(own_path);
    if (bind(fd, (const sockaddr *)a, addressLength(a)) != 0) {
        // ignored
    }
    memset(a->sun_path, 0, sizeof a->sun_path);
}

extern "C" int morv_cli(const char *own_path)
{
    sockaddr_un a;
    if (own_path && strlen(own_path) >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd <= 0)
        fd = moveOffZero(fd);
    if (fd <= 0)
        return fd;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (own_path)
        bindOwnPath(fd, &a, own_path);
    memcpy(a.sun_path, RELAY_SOCKET, sizeof RELAY_SOCKET);
    if (connect(fd, (const sockaddr *)&a, addressLength(&a)) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        perror("connect to " RELAY_SOCKET);
        errno = err;
        return -1;
    }
    dup2(fd, 1);
    dup2(fd, 2);
    return fd;
}
