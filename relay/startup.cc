// Server start-up: detach, signals, sockets, loop buffer, then the loop.
#include "startup.h"

#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dump.h"
#include "log_socket.h"
#include "server.h"

// The caller of fork leaves with status 0, also when the fork fails;
// then no server runs, and the message is the only trace of it.
static void forkAndLeave(void)
{
    pid_t pid = fork();
    if (pid < 0)
        perror("fork");
    if (pid != 0)
        exit(0);
}

// Two forks around a new session: the server can never regain a
// controlling terminal. Standard streams stay as inherited.
static void detach(void)
{
    forkAndLeave();
    setsid();
    int ignored = chdir("/");
    (void)ignored;
    umask(0);
    forkAndLeave();
}

static void installDumpSignals(void)
{
    signal(SIGUSR1, sig_handler);
    signal(SIGUSR2, sig_handler);
    signal(SIGRTMIN, sig_handler);
}

// Only the low 16 bits of port are used. The descriptor, or -1 after the
// perror message.
static int openListenSocket(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int reuse = 1;
    int rcvbuf = 4096;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("bind");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int32_t RelayBufferBytes(int buffer_size)
{
    if (buffer_size <= 0 || buffer_size > INT32_MAX / 1024)
        return 0;
    return buffer_size * 1024;
}

int RelayServe(const RelayOptions *opt)
{
    if (opt->detach)
        detach();
    installDumpSignals();
    printf("morv. build at %s %s\n", __DATE__, __TIME__);
    int log_fd = RelayBindLogSocket();
    if (log_fd < 0)
        return 1;
    int listen_fd = openListenSocket(opt->port_listen);
    if (listen_fd < 0)
        return -1;
    printf("listen on port %d.\n", opt->port_listen);
    listen(listen_fd, 5);
    signal(SIGPIPE, SIG_IGN);
    LoopBuffer lb;
    LoopBufferInit(&lb, RelayBufferBytes(opt->buffer_size));
    RelayServerLoop(log_fd, listen_fd, &lb, opt->verbose, opt->max_file);
    return 0;
}
