// Load driver for relay_bench.sh. Connects CLIENTS TCP clients to a relay,
// makes them active, then pipes LINES lines of 100 bytes through the
// feeder command (client mode, run inside the relay's namespace) and
// counts what every client receives.
//   relay_load_bench SOCKET_PATH PORT CLIENTS LINES -- FEEDER ARGS...
// Prints one line: lines, clients, seconds, lines_per_s, lost bytes per
// client. Time runs from the first line fed to the last byte received
// (to the feeder's end when there are no clients).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const size_t LINE = 100;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

[[noreturn]] void die(const char *what)
{
    perror(what);
    exit(2);
}

int connectTcp(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (double end = now() + 30; now() < end; usleep(10000)) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (sockaddr *)&a, sizeof a) == 0)
            return fd;
        close(fd);
    }
    die("connect");
}

void sendDatagram(const char *path, const std::string &data)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (sendto(fd, data.data(), data.size(), 0, (sockaddr *)&a, sizeof a) < 0)
        die("sendto");
    close(fd);
}

// Reads from every client until each has want bytes, one closes, or no
// byte came for idle seconds. Fills got[] and last[] (time of last byte).
void drain(std::vector<int> &fds, std::vector<size_t> &got, std::vector<double> &last,
           size_t want, double idle, pid_t feeder, double *feeder_end)
{
    static char buf[1 << 18];
    double quiet_since = now();
    for (;;) {
        if (feeder > 0 && waitpid(feeder, NULL, WNOHANG) == feeder) {
            *feeder_end = now();
            feeder = 0;
        }
        bool all = true;
        std::vector<pollfd> p;
        for (size_t i = 0; i < fds.size(); i++) {
            all = all && (got[i] >= want || fds[i] < 0);
            p.push_back({fds[i], POLLIN, 0});
        }
        if (feeder == 0 && (all || now() - quiet_since > idle))
            return;
        if (poll(p.data(), p.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = recv(fds[i], buf, sizeof buf, 0);
            if (n <= 0) {
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            got[i] += n;
            last[i] = quiet_since = now();
        }
    }
}

void generate(int fd, long lines)
{
    char chunk[LINE * 640];
    long done = 0;
    while (done < lines) {
        size_t n = 0;
        for (; n < sizeof chunk && done < lines; n += LINE, done++) {
            snprintf(chunk + n, LINE, "%09ld ", done);
            memset(chunk + n + 10, 'x', LINE - 11);
            chunk[n + LINE - 1] = '\n';
        }
        for (size_t off = 0; off < n;) {
            ssize_t w = write(fd, chunk + off, n - off);
            if (w <= 0)
                return;
            off += w;
        }
    }
}

pid_t startFeeder(char **argv, int *in_w)
{
    int p[2];
    if (pipe(p) != 0)
        die("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[0], 0);
        close(p[0]);
        close(p[1]);
        execvp(argv[0], argv);
        _exit(127);
    }
    close(p[0]);
    *in_w = p[1];
    return pid;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 7 || strcmp(argv[5], "--") != 0) {
        fprintf(stderr, "usage: relay_load_bench SOCKET PORT CLIENTS LINES -- FEEDER...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = atoi(argv[2]);
    int clients = atoi(argv[3]);
    long lines = atol(argv[4]);
    std::vector<int> fds;
    for (int i = 0; i < clients; i++) {
        fds.push_back(connectTcp(port));
        if (send(fds.back(), "act", 3, 0) != 3)
            die("send act");
    }
    // Each active client gets this line once: as history or live.
    sendDatagram(argv[1], std::string(LINE - 1, 'R') + "\n");
    std::vector<size_t> got(clients, 0);
    std::vector<double> last(clients, 0);
    double unused;
    drain(fds, got, last, LINE, 30, 0, &unused);
    for (int i = 0; i < clients; i++)
        if (got[i] != LINE) {
            fprintf(stderr, "client %d not active (%zu bytes)\n", i, got[i]);
            return 2;
        }

    double start = now();
    int in_w;
    pid_t feeder = startFeeder(argv + 6, &in_w);
    std::thread gen([&] {
        generate(in_w, lines);
        close(in_w);
    });
    double feeder_end = start;
    drain(fds, got, last, LINE + lines * LINE, 2.0, feeder, &feeder_end);
    gen.join();

    double end = clients ? 0 : feeder_end;
    for (int i = 0; i < clients; i++)
        end = last[i] > end ? last[i] : end;
    printf("lines %ld clients %d seconds %.3f lines_per_s %.0f lost", lines, clients,
           end - start, lines / (end - start));
    for (int i = 0; i < clients; i++)
        printf(" %zu", LINE + lines * LINE - got[i]);
    printf("\n");
    return 0;
}
