#include "morv_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void nap()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Waits up to ms for fd to become readable; false on time-out.
bool readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    int n;
    do
        n = poll(&p, 1, ms);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

bool contains(const std::string &path, const std::string &text)
{
    return ReadFile(path).find(text) != std::string::npos;
}

// One non-blocking connect, waited for until the deadline; 0, or the error.
int connectOnce(int fd, const sockaddr_in &a, Clock::time_point deadline)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd p = {fd, POLLOUT, 0};
    while (poll(&p, 1, msLeft(deadline)) < 0 && errno == EINTR)
        continue;
    int err = ETIMEDOUT;
    socklen_t len = sizeof err;
    if (p.revents)
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

} // namespace

std::string MorvProgram()
{
    static const int fd = open(BuiltProgram("morv").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("harness: can't open " + BuiltProgram("morv"));
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms)
{
    Clock::time_point deadline = deadlineAfter(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() > deadline)
            return false;
        nap();
    }
}

int FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("no free TCP port");
    close(fd);
    return ntohs(a.sin_port);
}

int ConnectTcp(int port, int timeout_ms)
{
    Clock::time_point deadline = deadlineAfter(timeout_ms);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return -1;
        int err = connectOnce(fd, a, deadline);
        if (err == 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        close(fd);
        if (err != ECONNREFUSED || Clock::now() > deadline)
            return -1;
        nap();
    }
}

bool SendText(int fd, const std::string &text, int timeout_ms)
{
    Clock::time_point deadline = deadlineAfter(timeout_ms);
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, msLeft(deadline)) == 0)
            return false;
    }
    return true;
}

bool SendDatagramTo(const std::string &path, const std::string &data, int timeout_ms)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path)
        return false;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    Clock::time_point deadline = deadlineAfter(timeout_ms);
    bool ok = false;
    for (;;) {
        ssize_t n = sendto(fd, data.data(), data.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&a), sizeof a);
        if (n == static_cast<ssize_t>(data.size())) {
            ok = true;
            break;
        }
        bool again = n < 0 && (errno == EAGAIN || errno == EINTR || errno == ENOENT ||
                               errno == ECONNREFUSED);
        if (!again || Clock::now() > deadline)
            break;
        nap();
    }
    close(fd);
    return ok;
}

// Reads until limit bytes have come, the peer ends the stream (then
// *ended is set, when given) or the deadline passes.
static std::string readUntil(int fd, size_t limit, int timeout_ms, bool *ended)
{
    Clock::time_point deadline = deadlineAfter(timeout_ms);
    std::string got;
    char buf[65536];
    while (got.size() < limit && readable(fd, msLeft(deadline))) {
        ssize_t r = recv(fd, buf, std::min(sizeof buf, limit - got.size()), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (ended)
                *ended = true;
            break;
        }
        got.append(buf, r);
    }
    return got;
}

std::string ReadExactly(int fd, size_t n, int timeout_ms)
{
    return readUntil(fd, n, timeout_ms, nullptr);
}

std::string ReadFor(int fd, int window_ms)
{
    return readUntil(fd, SIZE_MAX, window_ms, nullptr);
}

std::string ReadUntilClosed(int fd, bool *closed, int timeout_ms)
{
    *closed = false;
    return readUntil(fd, SIZE_MAX, timeout_ms, closed);
}

MorvServer::MorvServer()
    : run_dir(scratch.file("run")), tmp_dir(scratch.file("tmp")),
      socket_path(run_dir + "/morv.sock"), port(FreeTcpPort())
{
    mkdir(run_dir.c_str(), 0755);
    mkdir(tmp_dir.c_str(), 01777);
    chmod(tmp_dir.c_str(), 01777);
}

MorvServer::~MorvServer()
{
    Stop();
}

bool MorvServer::Start(const std::vector<std::string> &args, const std::string &setup,
                       bool wait_ready)
{
    // A clone under /tmp stays reachable inside, with every build folder
    // in it (the cross builds and their emulator scripts too): it is bound
    // into the scratch /tmp, which then goes onto /tmp with it.
    std::string script = "mount --bind \"$0\" /run && case \"$2\" in /tmp/*) "
                         "mkdir -p \"$1${2#/tmp}\" && mount --bind \"$2\" \"$1${2#/tmp}\";; esac && "
                         "mount --rbind \"$1\" /tmp && shift 2";
    if (!setup.empty())
        script += " && { " + setup + "\n}";
    script += " && exec \"$@\"";
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", script, run_dir, tmp_dir,
                                     SOURCE_DIR, MorvProgram(), "-s"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("-p");
    argv.push_back(std::to_string(port));

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(scratch.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(scratch.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0)
        throw std::runtime_error("harness: open output files");
    signal(SIGPIPE, SIG_IGN);
    pid = fork();
    if (pid == 0) {
        // morv dies with the test, even when the test is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The test's folder may lie under the bound /tmp: start from the
        // root, which every program of the setup can enter.
        if (chdir("/") != 0 || setenv("PWD", "/", 1) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> cargs;
        for (const std::string &a : argv)
            cargs.push_back(const_cast<char *>(a.c_str()));
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    status = -1;
    if (pid < 0 || !wait_ready)
        return pid > 0;
    // Ready when the port line and the socket are there; a server that
    // ends early (a bind failure) is not waited for any longer.
    std::string line = "listen on port " + std::to_string(port) + ".\n";
    std::string out_path = scratch.file("stdout");
    int st = 0;
    WaitUntil([&] {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        }
        return contains(out_path, line) && FileExists(socket_path);
    });
    return status == -1 && contains(out_path, line) && FileExists(socket_path);
}

std::string MorvServer::Out() const
{
    return ReadFile(scratch.file("stdout"));
}

std::string MorvServer::Err() const
{
    return ReadFile(scratch.file("stderr"));
}

bool MorvServer::WaitForOut(const std::string &text, int timeout_ms) const
{
    std::string path = scratch.file("stdout");
    return WaitUntil([&] { return contains(path, text); }, timeout_ms);
}

bool MorvServer::WaitForErr(const std::string &text, int timeout_ms) const
{
    std::string path = scratch.file("stderr");
    return WaitUntil([&] { return contains(path, text); }, timeout_ms);
}

bool MorvServer::WaitForSocket(int timeout_ms) const
{
    return WaitUntil([&] { return FileExists(socket_path); }, timeout_ms);
}

bool MorvServer::Signal(int sig) const
{
    return pid > 0 && status == -1 && kill(pid, sig) == 0;
}

size_t LogBurstLimit()
{
    int qlen = 10;
    if (FILE *f = fopen("/proc/sys/net/unix/max_dgram_qlen", "r")) {
        if (fscanf(f, "%d", &qlen) != 1)
            qlen = 10;
        fclose(f);
    }
    return qlen < 15 ? qlen + 1 : 16;
}

// A stopped server stops on its next way out of the kernel; none of the
// datagrams is there before that, so it finds them all queued.
bool MorvServer::SendBurst(const std::vector<std::string> &datagrams) const
{
    bool ok = Signal(SIGSTOP);
    for (const std::string &d : datagrams)
        ok = ok && SendDatagram(d);
    return Signal(SIGCONT) && ok;
}

RunResult MorvServer::RunInside(const std::vector<std::string> &argv, const std::string &input,
                                int timeout_seconds) const
{
    std::vector<std::string> full = {"nsenter", "-t", std::to_string(pid), "-m", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunProgram(full, input, "", timeout_seconds);
}

int MorvServer::WaitExit(int timeout_ms)
{
    if (pid <= 0 || status != -1)
        return status;
    int st = 0;
    bool done = WaitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms);
    if (!done)
        return -1;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status;
}

int MorvServer::Stop()
{
    if (pid <= 0 || status != -1)
        return status;
    kill(pid, SIGTERM);
    if (WaitExit(5000) != -1)
        return status;
    kill(pid, SIGKILL);
    return WaitExit(60000);
}
