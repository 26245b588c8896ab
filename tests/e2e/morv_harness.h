// morv -s in a private mount namespace with SCRATCH/run on /run and SCRATCH/tmp on /tmp.
#ifndef TESTS_E2E_MORV_HARNESS_H
#define TESTS_E2E_MORV_HARNESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e_util.h"

const int MORV_WAIT_MS = 20000;

// The built morv as "/proc/PID/fd/N", reachable from any mount namespace.
inline std::string MorvProgram()
{
    static const int fd = open(BuiltProgram("morv").c_str(), O_RDONLY | O_CLOEXEC);
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

inline bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = MORV_WAIT_MS)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

inline int FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    bind(fd, (sockaddr *)&a, len);
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

inline bool SendText(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size();
}

// Waits while the receiver's queue is full.
inline bool SendDatagramTo(const std::string &path, const std::string &data)
{
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv = {MORV_WAIT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    size_t sent = sendto(fd, data.data(), data.size(), 0, (sockaddr *)&a, sizeof a);
    close(fd);
    return sent == data.size();
}

// Until n bytes came, the peer closed (*closed set) or nothing came for timeout_ms.
inline std::string Read(
    int fd, size_t n = SIZE_MAX, int timeout_ms = MORV_WAIT_MS, bool *closed = nullptr)
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

struct Client {
    int fd;
    ~Client() { close(fd); }
};

struct MorvServer {
    ScratchDir scratch;
    std::string run_dir = scratch.file("run"), tmp_dir = scratch.file("tmp"),
                socket_path = run_dir + "/morv.sock";
    int port = FreeTcpPort(), pid = -1, status = -1; // status once reaped, 128 + signal if killed

    ~MorvServer()
    {
        if (Signal(SIGTERM) && WaitExit(5000) == -1 && Signal(SIGKILL))
            WaitExit(60000);
    }
    // morv -s ARGS -p port after the shell text setup; true once it is ready.
    bool Start(const std::vector<std::string> &args = {}, const std::string &setup = "",
        bool wait_ready = true);
    std::string Out() const { return ReadFile(scratch.file("stdout")); }
    std::string Err() const { return ReadFile(scratch.file("stderr")); }
    bool WaitOut(const std::string &text) const
    {
        return WaitUntil([&] { return Out().find(text) != std::string::npos; });
    }
    bool SendDatagram(const std::string &data) const { return SendDatagramTo(socket_path, data); }
    bool Signal(int sig) const { return pid > 0 && status == -1 && kill(pid, sig) == 0; }
    // Refusals are retried: the port line comes before listen.
    int Connect(int rcvbuf = 0) const
    {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        int fd = -1;
        WaitUntil([&] {
            close(fd); // the refused one
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (rcvbuf > 0)
                setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            return connect(fd, (sockaddr *)&a, sizeof a) == 0 || errno != ECONNREFUSED;
        });
        return fd;
    }
    // The server's end of c in the kernel's table: state (0 when gone), unread bytes.
    std::pair<unsigned, unsigned long> End(const Client &c) const
    {
        std::ifstream f("/proc/net/tcp");
        unsigned lp, rp, st;
        unsigned long rx;
        sockaddr_in me{};
        socklen_t len = sizeof me;
        getsockname(c.fd, (sockaddr *)&me, &len);
        for (std::string line; std::getline(f, line);)
            if (sscanf(line.c_str(), "%*d: %*X:%X %*X:%X %X %*X:%lX", &lp, &rp, &st, &rx) == 4
                && (int)lp == port && rp == ntohs(me.sin_port))
                return {st, rx};
        return {0, 0};
    }
    // Words carry no delimiter: waits until the server has read this one.
    bool Word(const Client &c, const std::string &text) const
    {
        int outq = -1;
        return SendText(c.fd, text) && WaitUntil([&] {
            return ioctl(c.fd, SIOCOUTQ, &outq) == 0 && outq == 0
                && End(c) == std::pair{(unsigned)TCP_ESTABLISHED, 0ul};
        });
    }
    RunResult RunInside(const std::vector<std::string> &argv, const std::string &input = "") const
    {
        std::vector<std::string> full = {"nsenter", "-t", std::to_string(pid), "-m", "--"};
        full.insert(full.end(), argv.begin(), argv.end());
        return RunProgram(full, input);
    }
    int WaitExit(int timeout_ms = MORV_WAIT_MS) // -1 while it runs
    {
        int st = 0;
        if (pid > 0 && status == -1
            && WaitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms))
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status;
    }
};

#endif
