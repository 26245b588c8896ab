// The relay's server loop from outside: history, live stream, words,
// batches, clients that read slowly or not at all, the client table.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

std::string Version(int cont) { return "morv v0.1[" + std::to_string(cont) + "]\n"; }

// What comes up to the "getver" reply.
std::string UpToVersion(const Client &c, size_t before = 0, int cont = 0)
{
    return SendText(c.fd, "getver") ? Read(c.fd, before + Version(cont).size()) : "send failed";
}

std::string Datagram(int i, size_t len)
{
    std::string d = "<" + std::to_string(i) + ">";
    while (d.size() + 1 < len)
        d += (char)('a' + (i + d.size()) % 26);
    return d + "\n";
}

bool SawLine(const MorvServer &srv, const Client &c, const char *end)
{
    return srv.WaitOut("Connection from: 127.0.0.1:" + std::to_string(c.Port()) + end + "\n");
}

// -b 1 makes the ring wrap; a datagram is cut at 2047 bytes, an empty one
// leaves no trace. History comes on the first "act" only; "deact" stops the
// stream; the -v echo stops at a NUL and follows "v=0"/"v=1". Then texts on
// connections of their own: whole words (but for the NUL a C client sends);
// "noautodump" and "fetchlogs" are prefixes in any case.
TEST(MorvLoop, HistoryStreamWordsAndEcho)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "1", "-v", "-o", "/tmp/d"}, "mkdir /tmp/d"));
    Client w{srv.Connect()}, fresh{srv.Connect()};
    ASSERT_TRUE(Word(srv, w, "act"));
    ASSERT_TRUE(Word(srv, fresh, "deact")); // before its first "act"
    std::string stream = Datagram(7, 3000);
    for (const std::string &d : {stream, std::string(), std::string("end\n")})
        ASSERT_TRUE(srv.SendDatagram(d));
    stream = stream.substr(0, 2047) + "end\n";
    EXPECT_EQ(UpToVersion(w, 2051), stream + Version(0));
    EXPECT_TRUE(srv.WaitOut(" accepted.\n" + stream));
    auto deliver = [&](const std::string &d) {
        ASSERT_TRUE(srv.SendDatagram(d));
        ASSERT_EQ(Read(w.fd, d.size()), d);
        stream += d;
    };

    Client c{srv.Connect()};
    ASSERT_TRUE(Word(srv, c, "act"));
    ASSERT_TRUE(Word(srv, c, "act"));
    ASSERT_NO_FATAL_FAILURE(deliver("again\n"));
    EXPECT_EQ(UpToVersion(c, 1030), stream.substr(stream.size() - 1030) + Version(0));
    ASSERT_TRUE(Word(srv, c, "deact"));
    for (const char *d : {"missed\n", "ab\0cd\n", "v=0", "quiet\n", "v=1", "loud\n"}) {
        if (d[0] == 'v')
            ASSERT_TRUE(Word(srv, w, d));
        else
            ASSERT_NO_FATAL_FAILURE(deliver(d[2] ? d : std::string("ab\0cd\n", 6)));
    }
    ASSERT_TRUE(Word(srv, c, "act"));
    ASSERT_TRUE(Word(srv, fresh, "act"));
    ASSERT_NO_FATAL_FAILURE(deliver("new\n"));
    EXPECT_EQ(UpToVersion(c, 4), "new\n" + Version(0));
    EXPECT_EQ(UpToVersion(fresh, 4), "new\n" + Version(0));
    EXPECT_TRUE(srv.WaitOut("again\nmissed\nabloud\nnew\n"));

    const std::tuple<std::string, bool, int, const char *> cases[] = {
        // text, gets the history, "getver" flag after it, a file under /tmp there or not ('!')
        {"act\n", false, 0, nullptr},     {std::string("act\0", 4), true, 0, nullptr},
        {"ACT", false, 0, nullptr},       {"Snap", false, 0, "!d.0"},
        {"snap", false, 0, "d.0"},        {"autodump", false, 1, "d/DUMPLOG"},
        {"NOAUTODUMP", false, 0, "!d/DUMPLOG"}, {"autodump", false, 1, "d/DUMPLOG"},
        {"noautodump and more words", false, 0, "!d/DUMPLOG"}, {"fetchlog", false, 0, nullptr},
    };
    for (const auto &[text, act, cont, file] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        Client t{srv.Connect()};
        ASSERT_TRUE(Word(srv, t, text));
        std::string d = Datagram(stream.size(), 20), history = stream.substr(stream.size() - 1024) + d;
        ASSERT_NO_FATAL_FAILURE(deliver(d));
        EXPECT_EQ(UpToVersion(t, act ? history.size() : 0, cont), (act ? history : "") + Version(cont));
        if (file)
            EXPECT_EQ(FileExists(srv.tmp_dir + "/" + (file + (*file == '!'))), *file != '!');
    }
    for (const char *text : {"fetchlogs", "FETCHLOGS now", "fetchLogs\n"}) {
        Client t{srv.Connect()};
        bool closed = false;
        ASSERT_TRUE(SendText(t.fd, text));
        Read(t.fd, SIZE_MAX, MORV_WAIT_MS, &closed);
        EXPECT_TRUE(closed) << text; // whatever the fetch achieved
    }
}

// The server's own network namespace queues a whole batch of 16: each
// datagram keeps its own cut (the longest one followed straight by another)
// and an empty one leaves no trace, in the echo and in the ring.
TEST(MorvLoop, FullBatchIsTakenIntact)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-v", "-o", "/tmp/log"}, "exec unshare -n sh -c 'echo 16 >"
                          "/proc/sys/net/unix/max_dgram_qlen && exec \"$@\"' sh \"$@\""));
    std::vector<std::string> burst = {Datagram(0, 3000), "xy\n", "", std::string("ab\0cd\n", 6)};
    std::string stream, echo;
    while (burst.size() < 16)
        burst.push_back(Datagram(burst.size(), 40));
    for (const std::string &d : burst) {
        stream += d.substr(0, 2047);
        echo += d.substr(0, 2047).c_str();
    }
    ASSERT_TRUE(srv.SendBurst(burst));
    EXPECT_TRUE(srv.WaitOut(" port " + std::to_string(srv.port) + ".\n" + echo));
    ASSERT_TRUE(srv.Signal(SIGUSR1));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(srv.tmp_dir + "/log.0").ends_with(stream); }));
}

// The history replay reaches a slow reader whole through partial sends (it
// is more than the kernel takes at once). A client that stops reading has
// it cut short, then a prefix of the live stream, and is closed at its
// 51st lost datagram.
TEST(MorvLoop, SlowAndStalledClients)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "2048"}));
    Client r{srv.Connect()};
    ASSERT_TRUE(Word(srv, r, "act"));
    std::string bulk, live;
    for (int i = 0; bulk.size() < 2100 * 1024; i++)
        bulk += Datagram(i, 1500 + i % 7);
    ASSERT_EQ(srv.RunInside({MorvProgram()}, bulk).status, 0);
    ASSERT_TRUE(Read(r.fd, bulk.size()) == bulk);
    std::string history = bulk.substr(bulk.size() - 2048 * 1024), got, part;
    {
        Client slow{srv.Connect(1024)};
        ASSERT_TRUE(SendText(slow.fd, "act"));
        while (got.size() < history.size() && !(part = Read(slow.fd, 4096, 5000)).empty()) {
            got += part;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        EXPECT_TRUE(got == history) << got.size() << " bytes, not the history";
    }
    Client stalled{srv.Connect(1024)};
    ASSERT_TRUE(Word(srv, stalled, "act")); // the replay gives up after 3 s without room
    std::vector<size_t> starts;
    for (int i = 0; ServerEnd(srv, stalled).first == TCP_ESTABLISHED; i++) {
        ASSERT_LT(i, 20000) << "never dropped";
        std::string d = Datagram(100000 + i, 2000);
        ASSERT_TRUE(srv.SendDatagram(d));
        ASSERT_EQ(Read(r.fd, d.size()), d);
        starts.push_back(live.size());
        live += d;
    }
    bool closed = false;
    got = Read(stalled.fd, SIZE_MAX, MORV_WAIT_MS, &closed);
    EXPECT_TRUE(closed);
    size_t at = std::min(got.find("<100000>"), got.size());
    EXPECT_TRUE(got.compare(0, at, history, 0, at) == 0);
    EXPECT_TRUE(got.compare(at, std::string::npos, live, 0, got.size() - at) == 0);
    EXPECT_EQ(starts.end() - std::lower_bound(starts.begin(), starts.end(), got.size() - at), 51);
}

// Keep-alive probes free the slot of a peer that vanishes without a word.
// The fifth client is refused (morvcat: status 3); one that leaves frees
// its slot at once.
TEST(MorvLoop, ClientTable)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client c[4] = {{srv.Connect()}, {srv.Connect()}, {srv.Connect()}, {srv.Connect()}};
    for (Client &k : c)
        ASSERT_EQ(UpToVersion(k), Version(0));
    int pidfd = (int)syscall(SYS_pidfd_open, srv.pid, 0), checked = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(srv.pid) + "/fd")) {
        Client end{(int)syscall(SYS_pidfd_getfd, pidfd, std::stoi(e.path().filename()), 0)};
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (getpeername(end.fd, (sockaddr *)&peer, &len) != 0 || peer.sin_family != AF_INET)
            continue;
        checked++;
        for (auto [level, name, want] : {std::tuple{SOL_SOCKET, SO_KEEPALIVE, 1}, {IPPROTO_TCP, TCP_KEEPIDLE, 60},
                                         {IPPROTO_TCP, TCP_KEEPINTVL, 10}, {IPPROTO_TCP, TCP_KEEPCNT, 3}}) {
            int got = -1;
            getsockopt(end.fd, level, name, &got, &(len = sizeof got));
            EXPECT_EQ(got, want) << "option " << name;
        }
    }
    close(pidfd);
    EXPECT_EQ(checked, 4);
    RunResult cat = RunProgram({BuiltProgram("morvcat"), "-w", "getver", "127.0.0.1:" + std::to_string(srv.port)});
    EXPECT_EQ(cat.status, 3);
    EXPECT_NE(cat.err.find("turned the connection away"), std::string::npos) << cat.err;
    Client fifth{srv.Connect()};
    bool closed = false;
    EXPECT_EQ(Read(fifth.fd, SIZE_MAX, MORV_WAIT_MS, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(SawLine(srv, fifth, " refused."));
    ASSERT_EQ(shutdown(c[1].fd, SHUT_RDWR), 0);
    ASSERT_TRUE(WaitUntil([&] { int st = ServerEnd(srv, c[1]).first; return st != TCP_ESTABLISHED && st != TCP_CLOSE_WAIT; }));
    Client sixth{srv.Connect()};
    EXPECT_EQ(UpToVersion(sixth), Version(0));
    EXPECT_TRUE(SawLine(srv, sixth, " accepted."));
    for (int i : {0, 2, 3})
        EXPECT_EQ(UpToVersion(c[i]), Version(0));
}

// select can't watch a descriptor from FD_SETSIZE (1024) on. With python3
// holding descriptors up to 1021, a connection gets 1024 and is refused;
// up to 1023, the log socket gets 1024 and the server ends at once.
TEST(MorvLoop, DescriptorsBeyondFdSetSize)
{
    if (RunProgram({"python3", "-c", ""}).status != 0 || ProgramEmulated("morv"))
        GTEST_SKIP() << "needs python3, and morv's own descriptors";
    for (int last : {1022, 1024}) {
        MorvServer srv;
        ASSERT_TRUE(srv.Start({}, "exec python3 -c 'import os, sys; [os.dup2(2, i) for i in range(3, " +
                                      std::to_string(last) + ")]; os.execv(sys.argv[1], sys.argv[1:])' \"$@\"",
                              last == 1022));
        if (last == 1024) {
            EXPECT_EQ(srv.WaitExit(), 0);
            EXPECT_EQ(srv.Err(), "select: Bad file descriptor\n");
            continue;
        }
        Client c{srv.Connect()};
        bool closed = false;
        EXPECT_EQ(Read(c.fd, SIZE_MAX, MORV_WAIT_MS, &closed), "");
        EXPECT_TRUE(closed);
        EXPECT_TRUE(SawLine(srv, c, " refused."));
    }
}

} // namespace
