// systemcall_service: listens on "/tmp/systemcall.sock", reads one
// NUL-terminated command per connection, runs it with system() and answers
// with the 8-byte SystemcallReply. One connection at a time.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "relayclient.h"

#define SERVICE_SOCKET "/tmp/systemcall.sock"
#define COMMAND_MAX 4096
#define LIFETIME_SECONDS 120

static const char USAGE[] =
    "Usage: systemcall_service [-d] [-n count] [-r result [-e err]] [-b bytes]\n"
    "\t-d detach once listening\n"
    "\t-n serve count connections, then end (and end after 120 s anyway)\n"
    "\t-r, -e answer this result and err instead of running the command\n"
    "\t-b send only the first bytes (0 to 8) of the reply\n";

struct ServiceOptions {
    int detach;
    int count;  // connections to serve; 0: no end
    int forced; // answer result/err without running the command
    SystemcallReply reply;
    int bytes;  // of the reply sent
};

static int parseOptions(int argc, char **argv, ServiceOptions *o)
{
    *o = ServiceOptions{0, 0, 0, {0, 0}, (int)sizeof(SystemcallReply)};
    int c;
    while ((c = getopt(argc, argv, "dn:r:e:b:")) != -1) {
        switch (c) {
        case 'd': o->detach = 1; break;
        case 'n': o->count = atoi(optarg); break;
        case 'r': o->forced = 1; o->reply.result = atoi(optarg); break;
        case 'e': o->reply.err = atoi(optarg); break;
        case 'b': o->bytes = atoi(optarg); break;
        default: return -1;
        }
    }
    return o->bytes < 0 || o->bytes > (int)sizeof(SystemcallReply) ? -1 : 0;
}

static int listenOn(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path, strlen(path) + 1);
    unlink(path);
    if (bind(fd, (const sockaddr *)&a, sizeof a) != 0 || listen(fd, 5) != 0) {
        perror("bind " SERVICE_SOCKET);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads up to the command's NUL; 0, or -1 when the client ends first.
static int readCommand(int fd, char *cmd, size_t size)
{
    size_t have = 0;
    while (have < size) {
        ssize_t n = recv(fd, cmd + have, size - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        if (memchr(cmd + have, '\0', (size_t)n))
            return 0;
        have += (size_t)n;
    }
    return -1;
}

static void serveOne(int fd, const ServiceOptions *o)
{
    char cmd[COMMAND_MAX];
    if (readCommand(fd, cmd, sizeof cmd) != 0)
        return;
    SystemcallReply reply = o->reply;
    if (!o->forced) {
        reply.result = system(cmd);
        reply.err = reply.result < 0 ? errno : 0;
    }
    if (send(fd, &reply, (size_t)o->bytes, MSG_NOSIGNAL) < 0)
        perror("send");
}

int main(int argc, char **argv)
{
    ServiceOptions o;
    if (parseOptions(argc, argv, &o) != 0) {
        fputs(USAGE, stderr);
        return 1;
    }
    int lfd = listenOn(SERVICE_SOCKET);
    if (lfd < 0)
        return 1;
    fflush(stdout);
    if (o.detach && fork() != 0)
        _exit(0); // the socket is there for whoever started us
    if (o.count > 0)
        alarm(LIFETIME_SECONDS);
    for (int served = 0; o.count <= 0 || served < o.count; served++) {
        int fd = accept4(lfd, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serveOne(fd, &o);
        close(fd);
    }
    unlink(SERVICE_SOCKET);
    return 0;
}
