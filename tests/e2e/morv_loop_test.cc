// The relay's server loop seen from outside: the live stream and its
// history, the clients' words, slow and surplus clients, the verbose echo.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

const std::string VERSION0 = "morv v0.1[0]\n";

struct Client {
    int fd;
    explicit Client(int f) : fd(f) {}
    ~Client() { close(fd); }
    Client(const Client &) = delete;
};

int LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// One connection on 127.0.0.1 as the kernel lists it; state 0 when gone.
struct TcpRow {
    int state = 0;
    unsigned long tx = 0, rx = 0;
};

TcpRow FindTcp(int local_port, int remote_port)
{
    std::ifstream f("/proc/net/tcp");
    unsigned lp, rp, st;
    unsigned long tx, rx;
    for (std::string line; std::getline(f, line);)
        if (sscanf(line.c_str(), "%*d: %*X:%X %*X:%X %X %lX:%lX", &lp, &rp, &st, &tx, &rx) == 5 &&
            (int)lp == local_port && (int)rp == remote_port && st != 10) // 10: listening
            return TcpRow{(int)st, tx, rx};
    return TcpRow{};
}

// The client's words carry no delimiter, so each must be read by the
// server before the next is sent: all bytes acknowledged, none unread.
bool WaitServerRead(const MorvServer &srv, int fd)
{
    int port = LocalPort(fd);
    return WaitUntil([&] {
        int outq = -1;
        TcpRow r = FindTcp(srv.port, port);
        return ioctl(fd, SIOCOUTQ, &outq) == 0 && outq == 0 && r.state == TCP_ESTABLISHED &&
               r.rx == 0;
    });
}

void Word(const MorvServer &srv, int fd, const std::string &text)
{
    ASSERT_TRUE(SendText(fd, text));
    ASSERT_TRUE(WaitServerRead(srv, fd)) << text;
}

// What the client receives up to and including the "getver" reply.
std::string UpToVersion(int fd, size_t before = 0, const std::string &version = VERSION0)
{
    if (!SendText(fd, "getver"))
        return "send failed";
    return ReadExactly(fd, before + version.size());
}

std::string Datagram(int i, size_t len)
{
    std::string d = "<" + std::to_string(i) + ">";
    while (d.size() + 1 < len)
        d += (char)('a' + (i + d.size()) % 26);
    return d + "\n";
}

// Sends a datagram and waits until the active client fd has it.
void Deliver(const MorvServer &srv, int fd, const std::string &d)
{
    ASSERT_TRUE(srv.SendDatagram(d));
    ASSERT_EQ(ReadExactly(fd, d.size()), d);
}

// A connection with a small receive buffer, for a client that won't read.
int ConnectSmall(const MorvServer &srv)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), small = 2048;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{AF_INET, htons(srv.port), {htonl(INADDR_LOOPBACK)}, {}};
    return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}

// The server's descriptor of the connection whose client end is fd,
// copied into this process; -1 when none is found.
int ServerEnd(const MorvServer &srv, int fd)
{
    int pidfd = (int)syscall(SYS_pidfd_open, srv.pid, 0), found = -1;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(srv.pid) + "/fd", ec)) {
        int copy = (int)syscall(SYS_pidfd_getfd, pidfd, std::stoi(e.path().filename()), 0);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (found < 0 && getpeername(copy, reinterpret_cast<sockaddr *>(&peer), &len) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == LocalPort(fd))
            found = copy;
        else if (copy >= 0)
            close(copy);
    }
    close(pidfd);
    return found;
}

std::string ConnectionLine(int fd, const char *end)
{
    return "Connection from: 127.0.0.1:" + std::to_string(LocalPort(fd)) + end + "\n";
}

} // namespace

// With -b 1 the ring wraps. A datagram is cut at 2047 bytes, an empty one
// leaves no trace. History comes once, on the first "act" only, oldest
// first; then the live stream, which "deact" stops and "act" resumes. The
// echo of -v stops at a NUL and follows "v=0" and "v=1".
TEST(MorvLoop, HistoryLiveStreamAndEcho)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "1", "-v"}));
    Client w(srv.ConnectClient()), fresh(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, fresh.fd, "deact")); // before its first "act"
    std::string big = Datagram(7, 3000), taken = big.substr(0, 2047) + "end\n";
    ASSERT_TRUE(srv.SendDatagram(big));
    ASSERT_TRUE(srv.SendDatagram(""));
    ASSERT_TRUE(srv.SendDatagram("end\n"));
    EXPECT_EQ(ReadExactly(w.fd, 2051), taken);
    EXPECT_EQ(UpToVersion(w.fd), VERSION0);
    EXPECT_TRUE(srv.WaitForOut(" accepted.\n" + taken));

    Client c(srv.ConnectClient());
    ASSERT_TRUE(SendText(c.fd, "act"));
    EXPECT_EQ(ReadExactly(c.fd, 1024), taken.substr(taken.size() - 1024));
    for (int i = 0; i < 5; i++) {
        std::string d = Datagram(100 + i, 5 + i);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        EXPECT_EQ(ReadExactly(c.fd, d.size()), d);
    }
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "again\n"));
    EXPECT_EQ(UpToVersion(c.fd, 6), "again\n" + VERSION0);

    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "deact"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "missed\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, fresh.fd, "act"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
    EXPECT_EQ(UpToVersion(fresh.fd), VERSION0);
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "new\n"));
    EXPECT_EQ(ReadExactly(c.fd, 4), "new\n");
    EXPECT_EQ(ReadExactly(fresh.fd, 4), "new\n");

    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, std::string("ab\0cd\n", 6)));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "ef\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "v=0"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "quiet\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "v=1"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "loud\n"));
    EXPECT_TRUE(srv.WaitForOut("missed\nnew\nabef\nloud\n"));
}

// Each text on a connection of its own, then one datagram: the history
// shows "act", the reply flag and the files show the dump words. Words
// are whole texts, but for a NUL a C client sends; "noautodump" and
// "fetchlogs" are prefixes in any case, and "fetchlogs" ends the connection.
TEST(MorvLoop, WordMatching)
{
    struct Case {
        std::string text;
        bool act;
        int cont;         // the "getver" flag after it
        const char *file; // under /tmp: there after the word, or not when it starts with '!'
    };
    const Case cases[] = {
        {"act\n", false, 0, nullptr},
        {std::string("act\0", 4), true, 0, nullptr},
        {"ACT", false, 0, nullptr},
        {"Snap", false, 0, "!d.0"},
        {"snap", false, 0, "d.0"},
        {"autodump", false, 1, "d/DUMPLOG"},
        {"NOAUTODUMP", false, 0, "!d/DUMPLOG"},
        {"autodump", false, 1, "d/DUMPLOG"},
        {"noautodump and more words", false, 0, "!d/DUMPLOG"},
        {"fetchlog", false, 0, nullptr},
    };
    MorvServer srv;
    // /tmp/d is the dump path: its files are /tmp/d.N, its marker /tmp/d/DUMPLOG.
    ASSERT_TRUE(srv.Start({"-o", "/tmp/d"}, "mkdir /tmp/d"));
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    std::string history;
    int i = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::PrintToString(k.text));
        Client c(srv.ConnectClient());
        ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, k.text));
        std::string d = Datagram(i++, 20);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        history += d;
        std::string version = "morv v0.1[" + std::to_string(k.cont) + "]\n";
        std::string want = (k.act ? history : "") + version;
        EXPECT_EQ(UpToVersion(c.fd, want.size() - version.size(), version), want);
        if (k.file)
            EXPECT_EQ(FileExists(srv.tmp_dir + "/" + (k.file + (k.file[0] == '!'))),
                      k.file[0] != '!');
    }
    for (const char *text : {"fetchlogs", "FETCHLOGS now", "fetchLogs\n"}) {
        SCOPED_TRACE(text);
        Client c(srv.ConnectClient());
        ASSERT_TRUE(SendText(c.fd, text));
        bool closed = false;
        ReadUntilClosed(c.fd, &closed);
        EXPECT_TRUE(closed); // whatever the fetch achieved
    }
}

// The slow client sits in a lower slot than the reader, so once the
// reader has a datagram the server has also tried to send it that one.
TEST(MorvLoop, ClientThatStopsReadingIsDroppedAtItsFiftyFirstBlockedSend)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client slow(ConnectSmall(srv)), reader(srv.ConnectClient());
    ASSERT_GE(slow.fd, 0);
    ASSERT_NO_FATAL_FAILURE(Word(srv, slow.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, reader.fd, "act"));
    int slow_port = LocalPort(slow.fd);

    // Bytes the server's kernel took for the slow client: its queue plus
    // what the client holds unread; unchanged across a send that blocked.
    auto taken = [&] {
        unsigned long prev = ~0ul, now = 0;
        for (int tries = 0; tries < 5000; tries++, prev = now, usleep(2000))
            if ((now = FindTcp(srv.port, slow_port).tx + FindTcp(slow_port, srv.port).rx) == prev)
                break;
        return now;
    };
    unsigned long before = taken();
    int blocked = 0, sent = 0;
    bool asked = false;
    for (; sent < 20000; sent++) {
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, reader.fd, Datagram(sent, 2000)));
        if (FindTcp(srv.port, slow_port).state != TCP_ESTABLISHED)
            break;
        unsigned long after = taken();
        blocked += after == before;
        before = after;
        if (blocked == 1 && !asked) {
            // A "getver" reply that finds no room is dropped at once: a
            // client that asks and never reads can't hold the loop.
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 4; i++)
                ASSERT_NO_FATAL_FAILURE(Word(srv, slow.fd, "getver"));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
                << "a wait of 3 s for each reply would take 9 s or more";
            asked = true;
            before = taken();
        }
    }
    EXPECT_EQ(blocked, 50) << "after " << sent << " datagrams";
    bool closed = false;
    ReadUntilClosed(slow.fd, &closed);
    EXPECT_TRUE(closed);

    Client next(srv.ConnectClient());
    EXPECT_EQ(UpToVersion(next.fd), VERSION0);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(next.fd, " accepted.")));
}

// A burst queued while the server is stopped is taken in one batch: each
// datagram keeps its own cut, an empty one leaves no trace, the echo stops
// at each one's NUL, and the readers and the history get the same bytes.
// Then bursts of long lines until the client that never reads is dropped:
// it has lost more than 50 lines and at most a batch more (and the one a
// short send cut), what it got is a prefix, and the readers miss nothing.
TEST(MorvLoop, BurstsAreTakenAndSentInBatches)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "64", "-v"}));
    Client stalled(ConnectSmall(srv)), r1(srv.ConnectClient()), r2(srv.ConnectClient());
    ASSERT_GE(stalled.fd, 0);
    for (int fd : {stalled.fd, r1.fd, r2.fd})
        ASSERT_NO_FATAL_FAILURE(Word(srv, fd, "act"));
    const size_t batch = LogBurstLimit();
    std::string stream, echo;
    std::vector<size_t> ends; // where each datagram that holds bytes ends in stream
    auto burst = [&](const std::vector<std::string> &datagrams) {
        std::string cut;
        for (const std::string &d : datagrams) {
            cut += d.substr(0, 2047);
            echo += d.substr(0, 2047).c_str();
            if (!d.empty())
                ends.push_back(stream.size() + cut.size());
        }
        stream += cut;
        ASSERT_TRUE(srv.SendBurst(datagrams));
        for (int fd : {r1.fd, r2.fd})
            ASSERT_EQ(ReadExactly(fd, cut.size()), cut);
    };
    std::vector<std::string> first = {Datagram(0, 3000), "", std::string("ab\0cd\n", 6)};
    while (first.size() < batch)
        first.push_back(Datagram(first.size(), 10 * first.size()));
    ASSERT_NO_FATAL_FAILURE(burst(first));
    EXPECT_TRUE(srv.WaitForOut(" accepted.\n" + echo));
    {
        Client late(srv.ConnectClient());
        ASSERT_TRUE(SendText(late.fd, "act"));
        EXPECT_EQ(ReadExactly(late.fd, stream.size()), stream);
    }

    int port = LocalPort(stalled.fd), n = 100;
    while (FindTcp(srv.port, port).state == TCP_ESTABLISHED) { // slot 0 is served first
        ASSERT_LT(n, 20000) << "never dropped";
        std::vector<std::string> lines;
        while (lines.size() < batch)
            lines.push_back(Datagram(n++, 2000));
        ASSERT_NO_FATAL_FAILURE(burst(lines));
    }
    bool closed = false;
    std::string got = ReadUntilClosed(stalled.fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, stream.substr(0, got.size()));
    size_t lost = ends.end() - std::upper_bound(ends.begin(), ends.end(), got.size());
    EXPECT_GT(lost, 50u);
    EXPECT_LE(lost, 50 + batch + 1);
}

TEST(MorvLoop, FifthClientIsRefusedAndALeavingClientFreesItsSlot)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client c[4] = {Client(srv.ConnectClient()), Client(srv.ConnectClient()),
                   Client(srv.ConnectClient()), Client(srv.ConnectClient())};
    for (Client &k : c)
        ASSERT_EQ(UpToVersion(k.fd), VERSION0);
    // A peer that vanishes without a word frees its slot after the probes.
    int end = ServerEnd(srv, c[0].fd);
    ASSERT_GE(end, 0);
    for (auto [level, name, want] : {std::tuple{SOL_SOCKET, SO_KEEPALIVE, 1}, {IPPROTO_TCP, TCP_KEEPIDLE, 60},
                                     {IPPROTO_TCP, TCP_KEEPINTVL, 10}, {IPPROTO_TCP, TCP_KEEPCNT, 3}}) {
        int got = -1;
        socklen_t len = sizeof got;
        EXPECT_EQ(getsockopt(end, level, name, &got, &len), 0);
        EXPECT_EQ(got, want) << "option " << name;
    }
    close(end);
    Client fifth(srv.ConnectClient());
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(fifth.fd, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(fifth.fd, " refused.")));

    int gone_port = LocalPort(c[1].fd);
    close(c[1].fd);
    c[1].fd = -1;
    ASSERT_TRUE(WaitUntil([&] {
        int st = FindTcp(srv.port, gone_port).state;
        return st != TCP_ESTABLISHED && st != TCP_CLOSE_WAIT;
    }));
    Client sixth(srv.ConnectClient());
    EXPECT_EQ(UpToVersion(sixth.fd), VERSION0);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(sixth.fd, " accepted.")));
    for (int i : {0, 2, 3})
        EXPECT_EQ(UpToVersion(c[i].fd), VERSION0);
}

TEST(MorvLoop, EachSignalDuringTheWaitIsCarriedOutAtOnce)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-o", "/tmp/log"}));
    for (int i = 0; i < 5; i++) {
        std::string name = "/tmp/log." + std::to_string(i);
        ASSERT_TRUE(srv.Signal(SIGUSR1));
        EXPECT_TRUE(srv.WaitForOut("dump log to " + name + "...\n")) << name;
    }
    EXPECT_TRUE(FileExists(srv.tmp_dir + "/log.4"));
}

// select can't watch a descriptor from FD_SETSIZE (1024) on: a connection
// that gets one is refused. python3 takes descriptors 3 to 1021 for morv,
// whose sockets get 1022 and 1023.
TEST(MorvLoop, ConnectionBeyondFdSetSizeIsRefused)
{
    if (RunProgram({"python3", "-c", ""}).status != 0)
        GTEST_SKIP() << "python3 is needed to hand morv many descriptors";
    if (ProgramEmulated("morv"))
        GTEST_SKIP() << "the emulator's own descriptors move morv's";
    MorvServer srv;
    ASSERT_TRUE(srv.Start({}, "exec python3 -c 'import os, sys; [os.dup2(2, i) for i in "
                              "range(3, 1022)]; os.execv(sys.argv[1], sys.argv[1:])' \"$@\""))
        << srv.Err();
    Client c(srv.ConnectClient());
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(c.fd, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(c.fd, " refused.")));
}
