#include "morv_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

std::string MorvProgram()
{
    static const int fd = open(BuiltProgram("morv").c_str(), O_RDONLY | O_CLOEXEC);
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

int FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    if (bind(fd, (sockaddr *)&a, len) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0)
        throw std::runtime_error("no free TCP port");
    close(fd);
    return ntohs(a.sin_port);
}

bool SendText(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size();
}

// Retried while the receiver's queue is full or it is not bound yet.
bool SendDatagramTo(const std::string &path, const std::string &data, int timeout_ms)
{
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = false;
    WaitUntil([&] {
        ok = sendto(fd, data.data(), data.size(), MSG_DONTWAIT, (sockaddr *)&a, sizeof a) == (ssize_t)data.size();
        return ok || (errno != EAGAIN && errno != ENOENT && errno != ECONNREFUSED);
    }, timeout_ms);
    close(fd);
    return ok;
}

std::string Read(int fd, size_t n, int timeout_ms, bool *closed)
{
    timeval tv = {timeout_ms / 1000, timeout_ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string got;
    char buf[65536];
    for (ssize_t r; got.size() < n; got.append(buf, r))
        if ((r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0)) <= 0) {
            if (closed && (r == 0 || errno == ECONNRESET))
                *closed = true;
            break;
        }
    return got;
}

int Client::Port() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    return ntohs(a.sin_port);
}

MorvServer::MorvServer()
{
    mkdir(run_dir.c_str(), 0755);
    mkdir(tmp_dir.c_str(), 01777);
    chmod(tmp_dir.c_str(), 01777);
}

bool MorvServer::Start(const std::vector<std::string> &args, const std::string &setup, bool wait_ready)
{
    // A clone under /tmp is bound into the scratch /tmp at its own path, so
    // its build folders (emulator scripts too) stay reachable. morv starts
    // in /, as the binds may hide the test's folder.
    std::string script = "mount --bind \"$0\" /run && case \"$2\" in /tmp/*) mkdir -p \"$1${2#/tmp}\" && "
                         "mount --bind \"$2\" \"$1${2#/tmp}\";; esac && mount --rbind \"$1\" /tmp && shift 2 && cd /";
    if (!setup.empty())
        script += " && { " + setup + "\n}";
    std::vector<std::string> argv = {"setpriv", "--pdeathsig", "KILL", "unshare", "-m", "sh", "-c",
                                     script + " && exec \"$@\"", run_dir, tmp_dir, SOURCE_DIR, MorvProgram(), "-s"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-p", std::to_string(port)});
    pid = SpawnProgram(argv, scratch.file("stdout"), scratch.file("stderr"));
    std::string line = "listen on port " + std::to_string(port) + ".\n";
    auto ready = [&] { return Out().find(line) != std::string::npos && FileExists(socket_path); };
    // A server that ends early (a bind failure) is not waited for.
    return !wait_ready || (WaitUntil([&] { return WaitExit(0) != -1 || ready(); }) && status == -1);
}

int MorvServer::Connect(int rcvbuf) const
{
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    int fd = -1;
    WaitUntil([&] {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (connect(fd, (sockaddr *)&a, sizeof a) == 0)
            return true;
        int err = errno;
        close(fd);
        fd = -1;
        return err != ECONNREFUSED;
    });
    return fd;
}

std::pair<int, unsigned long> MorvServer::End(const Client &c) const
{
    std::ifstream f("/proc/net/tcp");
    unsigned lp, rp, st;
    unsigned long rx;
    for (std::string line; std::getline(f, line);)
        if (sscanf(line.c_str(), "%*d: %*X:%X %*X:%X %X %*X:%lX", &lp, &rp, &st, &rx) == 4 && (int)lp == port &&
            (int)rp == c.Port())
            return {st, rx};
    return {0, 0};
}

bool MorvServer::Word(const Client &c, const std::string &text) const
{
    int outq = -1; // all of it acknowledged, none unread
    return SendText(c.fd, text) && WaitUntil([&] {
        return ioctl(c.fd, SIOCOUTQ, &outq) == 0 && outq == 0 && End(c) == std::pair<int, unsigned long>(TCP_ESTABLISHED, 0);
    });
}

RunResult MorvServer::RunInside(const std::vector<std::string> &argv, const std::string &input) const
{
    std::vector<std::string> full = {"nsenter", "-t", std::to_string(pid), "-m", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunProgram(full, input);
}

int MorvServer::WaitExit(int timeout_ms)
{
    int st = 0;
    if (pid > 0 && status == -1 && WaitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms))
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status;
}

int MorvServer::Stop()
{
    if (Signal(SIGTERM) && WaitExit(5000) == -1 && kill(pid, SIGKILL) == 0)
        WaitExit(60000);
    return status;
}
