// A MorvServer runs the built morv as a server in a private mount namespace,
// SCRATCH/run bound on /run and SCRATCH/tmp on /tmp: the test reaches
// "/var/run/morv.sock" and /tmp from outside through those paths. The pid
// is morv itself once the execs are done, and it dies with the test.
// Waits poll with generous deadlines (ms): tests run side by side.
#ifndef TESTS_E2E_MORV_HARNESS_H
#define TESTS_E2E_MORV_HARNESS_H

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"

const int MORV_WAIT_MS = 20000;

// "/proc/PID/fd/N" of the built morv held open here: reachable from any
// mount namespace, even with its folder covered.
std::string MorvProgram();
int FreeTcpPort();
// To 127.0.0.1:port, refusals retried (the port line comes just before
// listen); rcvbuf > 0 sets a small receive buffer first. -1 on failure.
int ConnectTcp(int port, int rcvbuf = 0);
bool SendText(int fd, const std::string &text);
bool SendDatagramTo(const std::string &path, const std::string &data, int timeout_ms = MORV_WAIT_MS);
// Until n bytes came, the peer closed (*closed set) or the deadline passed.
std::string Read(int fd, size_t n = SIZE_MAX, int timeout_ms = MORV_WAIT_MS, bool *closed = nullptr);
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = MORV_WAIT_MS);

struct MorvServer {
    ScratchDir scratch;
    // Set run_dir and socket_path to another server's to share its /run.
    std::string run_dir = scratch.file("run"), tmp_dir = scratch.file("tmp");
    std::string socket_path = run_dir + "/morv.sock";
    int port = FreeTcpPort();
    int pid = -1, status = -1; // status: exit status once reaped, 128 + signal if killed

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
    // Sent while the server is stopped, so it takes them in one batch.
    bool SendBurst(const std::vector<std::string> &datagrams) const;
    int Connect(int rcvbuf = 0) const { return ConnectTcp(port, rcvbuf); }
    bool Signal(int sig) const { return pid > 0 && status == -1 && kill(pid, sig) == 0; }
    // argv in the server's mount namespace, from its root.
    RunResult RunInside(const std::vector<std::string> &argv, const std::string &input = "") const;
    int WaitExit(int timeout_ms = MORV_WAIT_MS); // -1 while it runs
    int Stop();
};

// A connection to the relay, closed at the end of its scope.
struct Client {
    int fd;
    ~Client();
    int Port() const;
};
// The server's end of c as the kernel lists it: state (0 when gone), unread bytes.
std::pair<int, unsigned long> ServerEnd(const MorvServer &srv, const Client &c);
// Words carry no delimiter: waits until the server has read this one (all
// of it acknowledged, none unread) before anything else is sent.
bool Word(const MorvServer &srv, const Client &c, const std::string &text);

// The most datagrams the log socket queues while the server is stopped,
// at most a batch (16).
size_t LogBurstLimit();

#endif
