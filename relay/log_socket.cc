#include "log_socket.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char LOG_SOCKET_PATH[] = "/var/run/morv.sock";

// The length given to bind and connect covers the family field and the
// path without its terminator.
static socklen_t logSocketAddress(sockaddr_un *addr)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, LOG_SOCKET_PATH, sizeof LOG_SOCKET_PATH);
    return offsetof(sockaddr_un, sun_path) + strlen(LOG_SOCKET_PATH);
}

// Close-on-exec, so that the shell commands the server runs for dumps and
// remote clients don't carry the relay's sockets into their own children.
static int logSocket(void)
{
    return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

int RelayBindLogSocket(void)
{
    sockaddr_un addr;
    socklen_t len = logSocketAddress(&addr);
    unlink(LOG_SOCKET_PATH);
    int fd = logSocket();
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        perror("morv: bind to /var/run/morv.sock");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int RelayConnectLogSocket(void)
{
    sockaddr_un addr;
    socklen_t len = logSocketAddress(&addr);
    int fd = logSocket();
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        perror("morv: connect to /var/run/morv.sock");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}
