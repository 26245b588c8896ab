// Reference forwarder for relay_bench.sh: the smallest client mode. Each
// line of standard input (fgets into 2048 bytes) goes to
// /var/run/morv.sock as one datagram.
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main()
{
    sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, "/var/run/morv.sock");
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        perror("connect");
        return 1;
    }
    char line[2048];
    while (fgets(line, sizeof line, stdin)) {
        if (write(fd, line, strlen(line)) < 0)
            continue;
    }
    close(fd);
    return 0;
}
