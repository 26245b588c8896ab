// Load driver for relay_bench.sh. Connects CLIENTS TCP clients to a relay,
// makes them active, then sends LINES lines of 100 bytes to its log socket
// and checks every byte each client receives.
//   relay_load_bench SOCKET_PATH PORT CLIENTS LINES RATE PID [-- FEEDER ARGS...]
//   relay_load_bench sink LINES
// Without a feeder the lines go straight to SOCKET_PATH, one datagram
// each, RATE lines per second (0: as fast as the socket takes them); each
// line carries the time it was sent, so the delay to its receipt is known.
// With a feeder (client mode, run inside the relay's namespace) the lines
// are piped into it as fast as it reads them. PID (0: none) is the relay,
// whose CPU time is measured over the run.
// Prints one line: lines, clients, seconds, lines_per_s, cpu_ms_per_mline,
// the median delay and the lines delayed over 10 ms (direct only), and
// per client the bytes lost: missing, or after the first that differs.
// Time runs from the first line fed to the last byte received (to the
// feed's end when there are no clients).
// "sink" shows the ceiling of the direct feed: LINES into a receiver that
// only discards them.
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

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const size_t LINE = 100;

long long nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double now() { return nowNs() / 1e9; }

[[noreturn]] void die(const char *what)
{
    perror(what);
    exit(2);
}

void putDigits(char *p, unsigned long long v, int width)
{
    for (int i = width - 1; i >= 0; i--, v /= 10)
        p[i] = (char)('0' + v % 10);
}

// Line i of the feed, sent at time sent (0 when fed through a pipe). The
// clients check every line they get, so this must cost little.
void makeLine(char *line, long i, long long sent)
{
    static const std::string tail = std::string(LINE - 1, 'x') + "\n";
    memcpy(line + 30, tail.data() + 30, LINE - 30);
    putDigits(line, i, 9);
    line[9] = ' ';
    putDigits(line + 10, sent, 19);
    line[29] = ' ';
}

// The send time of every line, written before it is sent.
std::unique_ptr<std::atomic<long long>[]> sent_at;

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

int connectLog(const char *path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0)
        die("connect log socket");
    return fd;
}

// Paced lines go one by one; unpaced ones 16 to a sendmmsg, which waits
// whenever the relay's queue is full, so the feed costs little beside it.
void feedDirect(const char *path, long lines, double rate)
{
    const int BURST = 16;
    int fd = connectLog(path);
    long long start = nowNs();
    static char burst[BURST][LINE];
    mmsghdr msgs[BURST];
    iovec iov[BURST];
    for (long i = 0; i < lines;) {
        if (rate > 0) {
            long long due = start + (long long)(i * 1e9 / rate);
            timespec t = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
            }
        }
        int n = rate > 0 ? 1 : (int)std::min<long>(BURST, lines - i);
        long long t = nowNs();
        memset(msgs, 0, sizeof msgs);
        for (int k = 0; k < n; k++) {
            sent_at[i + k].store(t, std::memory_order_release);
            makeLine(burst[k], i + k, t);
            iov[k] = {burst[k], LINE};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        for (int done = 0; done < n;) {
            int sent = sendmmsg(fd, msgs + done, n - done, 0);
            if (sent < 0 && errno != EINTR)
                die("sendmmsg");
            done += sent > 0 ? sent : 0;
        }
        i += n;
    }
    close(fd);
}

void feedPipe(int fd, long lines)
{
    std::vector<char> chunk(LINE * 640);
    for (long done = 0; done < lines;) {
        size_t n = 0;
        for (; n < chunk.size() && done < lines; n += LINE, done++) {
            sent_at[done].store(0, std::memory_order_release);
            makeLine(chunk.data() + n, done, 0);
        }
        for (size_t off = 0; off < n;) {
            ssize_t w = write(fd, chunk.data() + off, n - off);
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

// What one client has received, checked line by line: line 0 is the
// warm-up line, line k the feed's line k - 1.
struct Stream {
    int fd;
    size_t good = 0; // bytes that matched, in order
    bool broken = false;
    double last = 0;
    char part[LINE];
    size_t have = 0;
};

std::vector<double> delays_ms;

void checkLine(Stream &s, double at)
{
    char want[LINE];
    long k = s.good / LINE;
    if (k == 0) {
        memset(want, 'R', LINE - 1);
        want[LINE - 1] = '\n';
    } else {
        long long t = sent_at[k - 1].load(std::memory_order_acquire);
        makeLine(want, k - 1, t);
        if (t)
            delays_ms.push_back(at * 1e3 - t / 1e6);
    }
    if (memcmp(want, s.part, LINE) != 0)
        s.broken = true;
    else
        s.good += LINE;
}

void take(Stream &s, const char *buf, size_t n, double at)
{
    for (size_t i = 0; i < n && !s.broken;) {
        size_t k = std::min(LINE - s.have, n - i);
        memcpy(s.part + s.have, buf + i, k);
        s.have += k;
        i += k;
        if (s.have == LINE) {
            checkLine(s, at);
            s.have = 0;
        }
    }
    s.last = at;
}

// Reads from every client until each has want bytes, one closes or breaks,
// or, once the feed is done, no byte came for idle seconds.
void drain(std::vector<Stream> &cl, size_t want, double idle, const std::atomic<bool> &fed)
{
    static char buf[1 << 18];
    double quiet_since = now();
    for (;;) {
        bool all = true;
        std::vector<pollfd> p;
        for (Stream &s : cl) {
            all = all && (s.good >= want || s.fd < 0 || s.broken);
            p.push_back({s.fd, POLLIN, 0});
        }
        if (fed && (all || now() - quiet_since > idle))
            return;
        if (poll(p.data(), p.size(), 20) <= 0)
            continue;
        for (size_t i = 0; i < cl.size(); i++) {
            if (cl[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = recv(cl[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                close(cl[i].fd);
                cl[i].fd = -1;
                continue;
            }
            quiet_since = now();
            take(cl[i], buf, n, quiet_since);
        }
    }
}

// CPU time the process has run, in nanoseconds.
long long cpuNs(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/schedstat", (int)pid);
    long long ns = 0;
    if (FILE *f = fopen(path, "r")) {
        if (fscanf(f, "%lld", &ns) != 1)
            ns = 0;
        fclose(f);
    }
    return ns;
}

void sendWarmUp(const char *path)
{
    int fd = connectLog(path);
    std::string line(LINE - 1, 'R');
    line += '\n';
    if (send(fd, line.data(), line.size(), 0) < 0)
        die("send");
    close(fd);
}

int runSink(long lines)
{
    char dir[] = "/tmp/relay_sink.XXXXXX";
    if (!mkdtemp(dir))
        die("mkdtemp");
    std::string path = std::string(dir) + "/sink.sock";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0)
        die("bind sink");
    sent_at.reset(new std::atomic<long long>[lines]);
    double start = now();
    std::thread gen([&] { feedDirect(path.c_str(), lines, 0); });
    static char bufs[16][LINE];
    mmsghdr msgs[16];
    iovec iov[16];
    for (long got = 0; got < lines;) {
        memset(msgs, 0, sizeof msgs);
        for (int i = 0; i < 16; i++) {
            iov[i] = {bufs[i], LINE};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(fd, msgs, 16, MSG_WAITFORONE, NULL);
        if (n < 0 && errno != EINTR)
            die("recvmmsg");
        got += n > 0 ? n : 0;
    }
    double end = now();
    gen.join();
    close(fd);
    unlink(path.c_str());
    rmdir(dir);
    printf("sink lines %ld seconds %.3f lines_per_s %.0f\n", lines, end - start,
           lines / (end - start));
    return 0;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "sink") == 0)
        return runSink(atol(argv[2]));
    bool piped = argc > 8 && strcmp(argv[7], "--") == 0;
    if (argc != 7 && !piped) {
        fprintf(stderr, "usage: relay_load_bench SOCKET PORT CLIENTS LINES RATE PID [-- FEEDER...]\n"
                        "       relay_load_bench sink LINES\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const char *path = argv[1];
    int port = atoi(argv[2]), clients = atoi(argv[3]);
    long lines = atol(argv[4]);
    double rate = atof(argv[5]);
    pid_t server = atoi(argv[6]);
    sent_at.reset(new std::atomic<long long>[lines]);
    std::vector<Stream> cl(clients);
    for (Stream &s : cl) {
        s.fd = connectTcp(port);
        if (send(s.fd, "act", 3, 0) != 3)
            die("send act");
    }
    // Each active client gets this line once: as history or live.
    sendWarmUp(path);
    std::atomic<bool> fed{true};
    drain(cl, LINE, 30, fed);
    for (int i = 0; i < clients; i++)
        if (cl[i].good != LINE) {
            fprintf(stderr, "client %d not active (%zu bytes)\n", i, cl[i].good);
            return 2;
        }

    fed = false;
    double feed_end = 0;
    long long cpu0 = server ? cpuNs(server) : 0;
    double start = now();
    std::thread gen([&] {
        if (piped) {
            int in_w;
            pid_t feeder = startFeeder(argv + 8, &in_w);
            feedPipe(in_w, lines);
            close(in_w);
            waitpid(feeder, NULL, 0);
        } else {
            feedDirect(path, lines, rate);
        }
        feed_end = now();
        fed = true;
    });
    drain(cl, LINE + lines * LINE, 2.0, fed);
    gen.join();
    long long cpu = server ? cpuNs(server) - cpu0 : 0;

    double end = clients ? 0 : feed_end;
    for (Stream &s : cl)
        end = std::max(end, s.last);
    size_t late = std::count_if(delays_ms.begin(), delays_ms.end(), [](double d) { return d > 10; });
    printf("lines %ld clients %d seconds %.3f lines_per_s %.0f cpu_ms_per_mline %.0f "
           "delay_p50_ms %.3f late10 %zu lost",
           lines, clients, end - start, lines / (end - start), cpu / 1e6 * 1e6 / lines,
           median(delays_ms), late);
    for (Stream &s : cl)
        printf(" %zu", LINE + lines * LINE - s.good);
    printf("\n");
    return 0;
}
