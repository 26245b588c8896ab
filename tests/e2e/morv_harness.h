// Harness for end-to-end tests of the morv relay.
//
// A MorvServer runs the built morv as a server inside a private mount
// namespace, so that its fixed paths stay private to the test:
//
//   unshare -m sh -c 'mount --bind SCRATCH/run /run && mount --bind SCRATCH/tmp /tmp &&
//                     SETUP && exec MORV -s ARGS -p PORT'
//
// MORV is MorvProgram(): the binds hide the build folder when the checkout
// lies under /tmp or /run, so the program is reached through a descriptor.
//
// Inside, "/var/run/morv.sock" is SCRATCH/run/morv.sock and /tmp is
// SCRATCH/tmp; the test reaches both from outside through those paths.
// A clone under /tmp is bound into SCRATCH/tmp at its own path first, so
// the programs of every build folder in it stay reachable inside.
// The pid the harness spawned is morv itself once the execs are done
// (unshare without --fork and the shell's exec replace themselves), so
// signals and waits go straight to the server. Standard output and error
// go to the files SCRATCH/stdout and SCRATCH/stderr. morv is killed when
// the test process ends, however it ends. It starts in /, since the binds
// may hide the test's own folder.
//
// Typical use:
//
//   MorvServer srv;
//   ASSERT_TRUE(srv.Start({"-o", "/tmp/log"}));   // waits for the port line
//   ASSERT_TRUE(srv.SendDatagram("hello\n"));
//   int c = srv.ConnectClient();
//   SendText(c, "act");
//   EXPECT_EQ(ReadExactly(c, 6, 10000), "hello\n");
//   close(c);
//   // the destructor stops the server (SIGTERM, then SIGKILL) and removes SCRATCH
//
// Every wait polls with a deadline; deadlines are in milliseconds and
// generous by default, since tests run in parallel on a busy machine.
#ifndef TESTS_E2E_MORV_HARNESS_H
#define TESTS_E2E_MORV_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"

const int MORV_WAIT_MS = 20000;

// The built morv by a path that reaches it from any mount namespace and
// whatever is bound over its folder: "/proc/PID/fd/N" of a descriptor this
// process holds open. Use it for every morv started in a namespace.
std::string MorvProgram();

// A TCP port that was free a moment ago (bound to port 0, read, closed).
int FreeTcpPort();

// Connects to 127.0.0.1:port; retries refused connections until the
// deadline, since morv prints its port line just before it listens, and
// gives up at the deadline when the server's backlog is full. Returns a
// blocking descriptor or -1.
int ConnectTcp(int port, int timeout_ms = MORV_WAIT_MS);

// Sends all of text on a connection; false when a send fails or the peer
// takes nothing more until the deadline.
bool SendText(int fd, const std::string &text, int timeout_ms = MORV_WAIT_MS);

// Sends one datagram to the AF_UNIX datagram socket at path; retries while
// the receiver's queue is full or the socket is not yet bound.
bool SendDatagramTo(const std::string &path, const std::string &data,
                    int timeout_ms = MORV_WAIT_MS);

// The most datagrams the log socket queues for a server that isn't
// reading: the kernel's queue limit and one more, at most 16 (the most the
// server takes in one batch).
size_t LogBurstLimit();

// Reads until n bytes have come, the peer closes or the deadline passes;
// returns what came (shorter than n in the last two cases).
std::string ReadExactly(int fd, size_t n, int timeout_ms = MORV_WAIT_MS);

// Returns whatever arrives within window_ms (stops early at end of file).
std::string ReadFor(int fd, int window_ms);

// Reads until the peer closes the connection; *closed tells whether it
// did before the deadline.
std::string ReadUntilClosed(int fd, bool *closed, int timeout_ms = MORV_WAIT_MS);

// Polls pred every few milliseconds until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = MORV_WAIT_MS);

struct MorvServer {
    ScratchDir scratch;
    // Bound on /run and /tmp inside. To share another server's /run, set
    // run_dir and socket_path to its values before Start.
    std::string run_dir;     // SCRATCH/run
    std::string tmp_dir;     // SCRATCH/tmp
    std::string socket_path; // SCRATCH/run/morv.sock
    int port;                // chosen by FreeTcpPort, passed with -p
    pid_t pid = -1;          // morv itself once started
    int status = -1;         // exit status once reaped (128 + signal if killed)

    MorvServer();
    ~MorvServer();
    MorvServer(const MorvServer &) = delete;
    MorvServer &operator=(const MorvServer &) = delete;

    // Spawns morv -s ARGS -p port (set port first to choose another one,
    // e.g. a port that is known to be busy). setup is shell text run inside the
    // namespace after the binds and before morv (e.g. "mount -t tmpfs -o
    // size=64k tmpfs /tmp/small"). With wait_ready, waits for the port
    // line and the socket file and returns false if they don't come or
    // morv ends first (then status holds its exit status).
    bool Start(const std::vector<std::string> &args = {}, const std::string &setup = "",
               bool wait_ready = true);

    // Everything morv wrote so far.
    std::string Out() const;
    std::string Err() const;
    // Waits until standard output (or error) contains text.
    bool WaitForOut(const std::string &text, int timeout_ms = MORV_WAIT_MS) const;
    bool WaitForErr(const std::string &text, int timeout_ms = MORV_WAIT_MS) const;
    bool WaitForSocket(int timeout_ms = MORV_WAIT_MS) const;

    bool SendDatagram(const std::string &data) const { return SendDatagramTo(socket_path, data); }
    // Sends the datagrams (at most LogBurstLimit()) while the server is
    // stopped, so that it takes them in one batch when it goes on.
    bool SendBurst(const std::vector<std::string> &datagrams) const;
    int ConnectClient(int timeout_ms = MORV_WAIT_MS) const { return ConnectTcp(port, timeout_ms); }
    bool Signal(int sig) const;

    // Runs argv inside the server's mount namespace (nsenter -t pid -m),
    // e.g. {MorvProgram()} with input to feed client mode. Entering
    // the namespace moves to its root: give absolute paths.
    RunResult RunInside(const std::vector<std::string> &argv, const std::string &input = "",
                        int timeout_seconds = 120) const;

    // Waits for morv to end; its exit status, or -1 if it still runs.
    int WaitExit(int timeout_ms = MORV_WAIT_MS);
    // SIGTERM, a wait, then SIGKILL; returns the exit status.
    int Stop();
};

#endif
