// The relay's server loop seen from outside: the live stream and its
// history, the clients' words, slow and surplus clients, the verbose echo.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

const std::string VERSION0 = "morv v0.1[0]\n";
const std::string VERSION1 = "morv v0.1[1]\n";
const int TCP_ESTABLISHED = 1;
const int TCP_CLOSE_WAIT = 8;

struct Client {
    int fd = -1;
    explicit Client(int f) : fd(f) {}
    ~Client() { if (fd >= 0) close(fd); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
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
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        unsigned la, lp, ra, rp, st;
        unsigned long tx, rx;
        if (sscanf(line.c_str(), "%*d: %X:%X %X:%X %X %lX:%lX", &la, &lp, &ra, &rp, &st, &tx,
                   &rx) == 7 &&
            (int)lp == local_port && (int)rp == remote_port && st != 10)
            return TcpRow{(int)st, tx, rx};
    }
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

bool WaitServerClosed(const MorvServer &srv, int client_port)
{
    return WaitUntil([&] {
        int st = FindTcp(srv.port, client_port).state;
        return st != TCP_ESTABLISHED && st != TCP_CLOSE_WAIT;
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 2048;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(srv.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string ConnectionLine(int fd, const char *end)
{
    return "Connection from: 127.0.0.1:" + std::to_string(LocalPort(fd)) + end + "\n";
}

} // namespace

TEST(MorvLoop, BannerPortAndConnectionLines)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client c(srv.ConnectClient());
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
    std::string want_tail = "listen on port " + std::to_string(srv.port) + ".\n" +
                            ConnectionLine(c.fd, " accepted.");
    std::string out = srv.Out();
    EXPECT_EQ(out.rfind("morv. build at ", 0), 0u) << out;
    ASSERT_GE(out.size(), want_tail.size());
    EXPECT_EQ(out.substr(out.size() - want_tail.size()), want_tail);
}

TEST(MorvLoop, HistoryOnFirstActOnlyThenLiveStream)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "1"}));
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    std::string sent;
    for (int i = 0; i < 12; i++) {
        std::string d = Datagram(i, 60 + 11 * i);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        sent += d;
    }
    ASSERT_GT(sent.size(), 1024u);
    ASSERT_NE(sent.size() % 1024, 0u); // the ring's content wraps

    Client c(srv.ConnectClient());
    ASSERT_TRUE(SendText(c.fd, "act"));
    EXPECT_EQ(ReadExactly(c.fd, 1024), sent.substr(sent.size() - 1024));
    for (int i = 0; i < 5; i++) {
        std::string d = Datagram(100 + i, 5 + i);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        EXPECT_EQ(ReadExactly(c.fd, d.size()), d);
    }
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "again\n"));
    EXPECT_EQ(UpToVersion(c.fd, 6), "again\n" + VERSION0);
}

TEST(MorvLoop, DeactStopsTheStreamAndActResumesWithoutHistory)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client w(srv.ConnectClient()), c(srv.ConnectClient()), fresh(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "old\n"));
    EXPECT_EQ(ReadExactly(c.fd, 4), "old\n");

    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "deact"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, fresh.fd, "deact"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "missed\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, fresh.fd, "act"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
    EXPECT_EQ(UpToVersion(fresh.fd), VERSION0);
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "new\n"));
    EXPECT_EQ(ReadExactly(c.fd, 4), "new\n");
    EXPECT_EQ(ReadExactly(fresh.fd, 4), "new\n");
}

// Words 1 to 9 are whole texts; "act" also with the NUL a C client sends.
TEST(MorvLoop, ActMatchesTheWholeText)
{
    struct Case {
        const char *name;
        std::string text;
        bool activates;
    };
    const Case cases[] = {
        {"newline", "act\n", false},
        {"NUL", std::string("act\0", 4), true},
        {"capitals", "ACT", false},
        {"blank", "act ", false},
        {"longer", "actx", false},
    };
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    std::string history;
    int i = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Client c(srv.ConnectClient());
        ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, k.text));
        std::string d = Datagram(i++, 20);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        history += d;
        std::string want = (k.activates ? history : "") + VERSION0;
        EXPECT_EQ(UpToVersion(c.fd, want.size() - VERSION0.size()), want);
    }
}

TEST(MorvLoop, DumpWordsAndTheirMatching)
{
    MorvServer srv;
    // /tmp/d is the dump path: its files are /tmp/d.N, its marker /tmp/d/DUMPLOG.
    ASSERT_TRUE(srv.Start({"-o", "/tmp/d"}, "mkdir /tmp/d"));
    std::string snap0 = srv.tmp_dir + "/d.0", marker = srv.tmp_dir + "/d/DUMPLOG";
    Client c(srv.ConnectClient());

    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "Snap"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
    EXPECT_FALSE(FileExists(snap0));
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "snap"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
    EXPECT_TRUE(FileExists(snap0));

    const char *stops[] = {"NOAUTODUMP", "noautodump and more words", "NoAutoDump\n"};
    for (const char *stop : stops) {
        SCOPED_TRACE(stop);
        ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "autodump"));
        EXPECT_EQ(UpToVersion(c.fd, 0, VERSION1), VERSION1);
        EXPECT_TRUE(FileExists(marker));
        ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, stop));
        EXPECT_EQ(UpToVersion(c.fd), VERSION0);
        EXPECT_FALSE(FileExists(marker));
    }
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "dump"));
    EXPECT_EQ(UpToVersion(c.fd, 0, VERSION1), VERSION1);
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "nodump"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
}

TEST(MorvLoop, DatagramsAreCutAt2047BytesAndEmptyOnesLeaveNoTrace)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    std::string big = Datagram(7, 3000);
    ASSERT_TRUE(srv.SendDatagram(big));
    ASSERT_TRUE(srv.SendDatagram(""));
    ASSERT_TRUE(srv.SendDatagram("end\n"));
    EXPECT_EQ(ReadExactly(w.fd, 2051), big.substr(0, 2047) + "end\n");

    Client late(srv.ConnectClient());
    ASSERT_TRUE(SendText(late.fd, "act"));
    EXPECT_EQ(ReadExactly(late.fd, 2051), big.substr(0, 2047) + "end\n");
    EXPECT_EQ(UpToVersion(w.fd), VERSION0);
    EXPECT_EQ(UpToVersion(late.fd), VERSION0);
}

TEST(MorvLoop, VerboseEchoFollowsTheFlagAndStopsAtNul)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-v"}));
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, std::string("ab\0cd\n", 6)));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "ef\n"));
    EXPECT_TRUE(srv.WaitForOut(" accepted.\nabef\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "v=0"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "quiet\n"));
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "v=1"));
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "loud\n"));
    EXPECT_TRUE(srv.WaitForOut("abef\nloud\n"));
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
        for (;;) {
            now = FindTcp(srv.port, slow_port).tx + FindTcp(slow_port, srv.port).rx;
            if (now == prev)
                return now;
            prev = now;
            usleep(2000);
        }
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
            // A reply waits for room 3 seconds at most: the next datagram
            // still reaches the reader.
            ASSERT_NO_FATAL_FAILURE(Word(srv, slow.fd, "getver"));
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

// The replay waits at most 3 seconds for room before each send; a client
// that doesn't read gets what fitted and is active all the same. The
// history is larger than the kernel's largest send buffer (4 MiB).
TEST(MorvLoop, HistoryToAClientThatDoesNotReadGivesUp)
{
    const size_t ring = 8192 * 1024;
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "8192"}));
    Client w(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, w.fd, "act"));
    std::string history;
    for (int i = 0; history.size() < ring + 100000; i++) {
        std::string d = Datagram(i, 2047);
        ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, d));
        history += d;
    }
    history = history.substr(history.size() - ring);
    Client slow(ConnectSmall(srv));
    ASSERT_GE(slow.fd, 0);
    ASSERT_NO_FATAL_FAILURE(Word(srv, slow.fd, "act"));
    EXPECT_EQ(UpToVersion(w.fd), VERSION0); // the replay has ended

    std::string replayed;
    for (std::string more = "?"; !more.empty(); replayed += more)
        more = ReadFor(slow.fd, 300);
    EXPECT_GT(replayed.size(), 0u);
    EXPECT_LT(replayed.size(), history.size());
    EXPECT_EQ(history.compare(0, replayed.size(), replayed), 0);
    ASSERT_NO_FATAL_FAILURE(Deliver(srv, w.fd, "tail\n"));
    EXPECT_EQ(ReadExactly(slow.fd, 5), "tail\n");
}

TEST(MorvLoop, FifthClientIsRefusedAndALeavingClientFreesItsSlot)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    int fds[4];
    for (int &fd : fds) {
        fd = srv.ConnectClient();
        ASSERT_EQ(UpToVersion(fd), VERSION0);
    }
    Client fifth(srv.ConnectClient());
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(fifth.fd, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(fifth.fd, " refused.")));

    int gone_port = LocalPort(fds[1]);
    close(fds[1]);
    ASSERT_TRUE(WaitServerClosed(srv, gone_port));
    Client sixth(srv.ConnectClient());
    EXPECT_EQ(UpToVersion(sixth.fd), VERSION0);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(sixth.fd, " accepted.")));
    for (int i : {0, 2, 3}) {
        EXPECT_EQ(UpToVersion(fds[i]), VERSION0);
        close(fds[i]);
    }
}

TEST(MorvLoop, FetchlogsClosesTheConnection)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    for (const char *text : {"fetchlogs", "FETCHLOGS now", "fetchLogs\n"}) {
        SCOPED_TRACE(text);
        Client c(srv.ConnectClient());
        ASSERT_TRUE(SendText(c.fd, text));
        bool closed = false;
        ReadUntilClosed(c.fd, &closed);
        EXPECT_TRUE(closed);
    }
    Client c(srv.ConnectClient());
    ASSERT_NO_FATAL_FAILURE(Word(srv, c.fd, "fetchlog"));
    EXPECT_EQ(UpToVersion(c.fd), VERSION0);
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

// Starts morv holding descriptors 3 to 1023 except the free ones, which
// its two sockets take. python3 hands them over.
bool StartWithFdsTaken(MorvServer &srv, int free_lo, int free_hi, bool wait_ready = true)
{
    std::string fill = "import os,sys\n"
                       "for i in range(3, 1024):\n"
                       "    if i < " + std::to_string(free_lo) + " or i > " +
                       std::to_string(free_hi) + ": os.dup2(2, i)\n"
                       "os.execv(sys.argv[1], sys.argv[1:])\n";
    return srv.Start({}, "exec python3 -c '" + fill + "' \"$@\"", wait_ready);
}

TEST(MorvLoop, ConnectionBeyondFdSetSizeIsRefused)
{
    MorvServer srv;
    if (RunProgram({"python3", "-c", ""}).status != 0)
        GTEST_SKIP() << "python3 is needed to hand morv many descriptors";
    ASSERT_TRUE(StartWithFdsTaken(srv, 1020, 1021)) << srv.Out() << srv.Err();
    Client c(srv.ConnectClient());
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(c.fd, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(srv.WaitForOut(ConnectionLine(c.fd, " refused.")));
}

TEST(MorvLoop, ServerSocketBeyondFdSetSizeEndsTheLoop)
{
    MorvServer srv;
    if (RunProgram({"python3", "-c", ""}).status != 0)
        GTEST_SKIP() << "python3 is needed to hand morv many descriptors";
    ASSERT_TRUE(StartWithFdsTaken(srv, 1024, 1024, false));
    EXPECT_EQ(srv.WaitExit(), 0);
    EXPECT_NE(srv.Out().find("listen on port "), std::string::npos);
    EXPECT_EQ(srv.Err(), "select: Bad file descriptor\n");
}
