// A MorvServer runs the built morv as a server in a private mount namespace
// with SCRATCH/run on /run and SCRATCH/tmp on /tmp: the test reaches
// "/var/run/morv.sock" and /tmp through those paths. Its pid is morv
// itself, which dies with the test. Waits poll up to generous deadlines.
#ifndef TESTS_E2E_MORV_HARNESS_H
#define TESTS_E2E_MORV_HARNESS_H

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"

const int MORV_WAIT_MS = 20000;

// The built morv as "/proc/PID/fd/N", reachable from any mount namespace.
std::string MorvProgram();
int FreeTcpPort();
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = MORV_WAIT_MS);
bool SendText(int fd, const std::string &text);
bool SendDatagramTo(const std::string &path, const std::string &data, int timeout_ms = MORV_WAIT_MS);
// Until n bytes came, the peer closed (*closed set) or nothing came for timeout_ms.
std::string Read(int fd, size_t n = SIZE_MAX, int timeout_ms = MORV_WAIT_MS, bool *closed = nullptr);

struct Client {
    int fd;
    ~Client() { close(fd); }
    int Port() const;
};

struct MorvServer {
    ScratchDir scratch; // set run_dir and socket_path to another server's to share its /run
    std::string run_dir = scratch.file("run"), tmp_dir = scratch.file("tmp"), socket_path = run_dir + "/morv.sock";
    int port = FreeTcpPort(), pid = -1, status = -1; // status once reaped, 128 + signal if killed

    MorvServer();
    ~MorvServer() { Stop(); }
    // morv -s ARGS -p port after the shell text setup; with wait_ready, true
    // once the port line and the socket are there.
    bool Start(const std::vector<std::string> &args = {}, const std::string &setup = "", bool wait_ready = true);
    std::string Out() const { return ReadFile(scratch.file("stdout")); }
    std::string Err() const { return ReadFile(scratch.file("stderr")); }
    bool WaitOut(const std::string &text) const
    {
        return WaitUntil([&] { return Out().find(text) != std::string::npos; });
    }
    bool SendDatagram(const std::string &data) const { return SendDatagramTo(socket_path, data); }
    bool Signal(int sig) const { return pid > 0 && status == -1 && kill(pid, sig) == 0; }
    // Refusals are retried (the port line comes before listen); rcvbuf > 0
    // gives a small receive buffer.
    int Connect(int rcvbuf = 0) const;
    // The server's end of c in the kernel's table: state (0 when gone), unread bytes.
    std::pair<int, unsigned long> End(const Client &c) const;
    // Words carry no delimiter: sends one and waits until the server has read it.
    bool Word(const Client &c, const std::string &text) const;
    RunResult RunInside(const std::vector<std::string> &argv, const std::string &input = "") const;
    int WaitExit(int timeout_ms = MORV_WAIT_MS); // -1 while it runs
    int Stop();
};

#endif
