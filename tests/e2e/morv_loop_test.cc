// The relay's server loop and dumps from outside.
#include <algorithm>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

std::string Version(int cont) { return "morv v0.1[" + std::to_string(cont) + "]\n"; }

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

// -b 1 makes the ring wrap; history comes on the first "act" only.
TEST(MorvLoop, HistoryStreamWordsAndEcho)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "1", "-v"}));
    Client w{srv.Connect()}, c{srv.Connect()};
    ASSERT_TRUE(srv.Word(w, "act"));
    std::string stream = Datagram(7, 3000);
    ASSERT_TRUE(srv.SendDatagram(stream) && srv.SendDatagram("") && srv.SendDatagram("end\n"));
    stream = stream.substr(0, 2047) + "end\n";
    EXPECT_EQ(UpToVersion(w, 2051), stream + Version(0));
    auto deliver = [&](const std::string &d) {
        stream += d;
        return srv.SendDatagram(d) && Read(w.fd, d.size()) == d;
    };
    ASSERT_TRUE(srv.Word(c, "act") && srv.Word(c, "act") && deliver("again\n"));
    EXPECT_EQ(UpToVersion(c, 1030), stream.substr(stream.size() - 1030) + Version(0));
    ASSERT_TRUE(srv.Word(c, "deact") && deliver("missed\n") && deliver(std::string("ab\0cd\n", 6)));
    ASSERT_TRUE(
        srv.Word(w, "v=0") && deliver("quiet\n") && srv.Word(w, "v=1") && deliver("loud\n"));
    ASSERT_TRUE(srv.Word(c, "act") && deliver("new\n"));
    EXPECT_EQ(UpToVersion(c, 4), "new\n" + Version(0));
    EXPECT_TRUE(
        srv.WaitOut(" accepted.\n" + stream.substr(0, 2051) + "again\nmissed\nabloud\nnew\n"));
}

// Its own network namespace lets the queue hold a whole batch of 16.
TEST(MorvLoop, FullBatchIsTakenIntact)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-v"},
        "exec unshare -n sh -c 'echo 16 >/proc/sys/net/unix/max_dgram_qlen && exec \"$@\"' sh "
        "\"$@\""));
    std::vector<std::string> burst = {Datagram(0, 3000), "xy\n", "", std::string("ab\0cd\n", 6)};
    std::string echo;
    while (burst.size() < 16)
        burst.push_back(Datagram(burst.size(), 40));
    ASSERT_TRUE(srv.Signal(SIGSTOP)); // takes them in one batch when it goes on
    for (const std::string &d : burst) {
        ASSERT_TRUE(srv.SendDatagram(d));
        echo += d.substr(0, 2047).c_str();
    }
    ASSERT_TRUE(srv.Signal(SIGCONT));
    EXPECT_TRUE(srv.WaitOut(" port " + std::to_string(srv.port) + ".\n" + echo));
}

// More history than the kernel takes at once: partial sends to a slow reader.
TEST(MorvLoop, SlowAndStalledClients)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "2048"}));
    Client r{srv.Connect()}, slow{srv.Connect(1024)};
    std::string bulk, live, got, part;
    ASSERT_TRUE(srv.Word(r, "act"));
    for (int i = 0; bulk.size() < 2100 * 1024; i++) { // paced: r must never fall behind
        std::string d = Datagram(i, 1500 + i % 7);
        ASSERT_TRUE(srv.SendDatagram(d) && Read(r.fd, d.size()) == d);
        bulk += d;
    }
    std::string history = bulk.substr(bulk.size() - 2048 * 1024);
    ASSERT_TRUE(SendText(slow.fd, "act"));
    while (got.size() < history.size() && !(part = Read(slow.fd, 4096, 5000)).empty()) {
        got += part;
        usleep(500);
    }
    EXPECT_TRUE(got == history) << got.size() << " bytes, not the history";

    Client stalled{srv.Connect(1024)};
    ASSERT_TRUE(srv.Word(stalled, "act")); // the replay gives up after 3 s without room
    std::vector<size_t> starts;
    for (int i = 0; srv.End(stalled).first == TCP_ESTABLISHED; i++) {
        std::string d = Datagram(100000 + i, 2000);
        ASSERT_TRUE(i < 20000 && srv.SendDatagram(d) && Read(r.fd, d.size()) == d)
            << "never dropped";
        ASSERT_EQ(UpToVersion(r), Version(0)); // the pass that may drop it is over
        starts.push_back(live.size());
        live += d;
    }
    bool closed = false;
    got = Read(stalled.fd, SIZE_MAX, MORV_WAIT_MS, &closed);
    size_t at = std::min(got.find("<100000>"), got.size());
    EXPECT_TRUE(closed && got.compare(0, at, history, 0, at) == 0);
    EXPECT_TRUE(got.compare(at, std::string::npos, live, 0, got.size() - at) == 0);
    EXPECT_EQ(starts.end() - std::lower_bound(starts.begin(), starts.end(), got.size() - at), 51);
}

// Four slots; select can't watch descriptor 1024 on.
TEST(MorvLoop, ClientTable)
{
    MorvServer srv, fuller;
    ASSERT_TRUE(srv.Start());
    Client c[4] = {{srv.Connect()}, {srv.Connect()}, {srv.Connect()}, {srv.Connect()}};
    for (Client &k : c)
        ASSERT_EQ(UpToVersion(k), Version(0));
    std::vector<std::string> cat
        = {BuiltProgram("morvcat"), "-w", "getver", "127.0.0.1:" + std::to_string(srv.port)};
    RunResult r = RunProgram(cat);
    EXPECT_TRUE(r.status == 3 && r.err.find("turned the connection away") != std::string::npos
        && srv.WaitOut(" refused.\n"));
    ASSERT_EQ(shutdown(c[1].fd, SHUT_RDWR), 0); // frees its slot
    EXPECT_TRUE(WaitUntil([&] { return RunProgram(cat).out == Version(0); }));
    EXPECT_EQ(UpToVersion(c[3]), Version(0));

    if (RunProgram({"python3", "-c", ""}).status != 0 || ProgramEmulated("morv"))
        GTEST_SKIP() << "needs python3, and morv's own descriptors";
    std::string take
        = "exec python3 -c 'import os, sys; [os.dup2(2, i) for i in range(3, int(sys.argv[1]))]; "
          "os.execv(sys.argv[2], sys.argv[2:])' ";
    ASSERT_TRUE(fuller.Start({}, take + "1024 \"$@\"", false));
    EXPECT_TRUE(fuller.WaitExit() == 0 && fuller.Err() == "select: Bad file descriptor\n")
        << fuller.Err();
}

const std::string LOG_HEADER
    = "\n---------------------------- Dump of log -----------------------------\n";

bool Flag(const MorvServer &srv, int cont) // settles once the request's pass has run
{
    return WaitUntil([&] {
        Client c{srv.Connect()};
        return UpToVersion(c, 0, cont) == Version(cont);
    });
}

// A stale log.1 goes with the first snapshot: the next number is free.
TEST(MorvDump, SignalsWordsAndContinuousFile)
{
    MorvServer srv;
    const std::string cmd = "sleep 1; echo ran";
    ASSERT_TRUE(srv.Start(
        {"-a", "/tmp/extra", "-a", "/tmp/none", "-e", cmd, "-o", "/tmp/no/a", "-o", "/tmp/d/log"},
        "mkdir -p /tmp/d/log && echo extra >/tmp/extra && echo stale >/tmp/d/log.1"));
    Client live{srv.Connect()};
    std::string sent;
    auto log = [&](const std::string &d) {
        sent += d;
        return srv.SendDatagram(d) && Read(live.fd, d.size()) == d;
    };
    auto dumped = [&](const std::string &name) {
        return srv.WaitOut("dump log to /tmp/d/" + name + "...\n");
    };
    auto file = [&](const std::string &name) { return ReadFile(srv.tmp_dir + "/d/" + name); };
    ASSERT_TRUE(srv.Word(live, "act") && log("one\n") && srv.Signal(SIGUSR1) && dumped("log.0"));
    ASSERT_TRUE(srv.Signal(SIGUSR2) && log("two\n")); // most likely while the command sleeps
    ASSERT_TRUE(dumped("log.cont.0") && Flag(srv, 1));
    std::string head
        = "\n---------------------------- Dump of /tmp/extra ---------------------------\nextra\n"
          "\n--------------------- dump of "
        + cmd + " ----------------------------\nran\n" + LOG_HEADER;
    EXPECT_EQ(file("log.0"), head + "one\n");
    ASSERT_TRUE(log(std::string(2047, 'b')));
    EXPECT_TRUE(WaitUntil([&] { return file("log.cont.0") == head + sent; }));
    for (auto [word, flag] :
        {std::pair{"Snap", 1}, {"snap", 1}, {"dump", 1}, {"nodump", 0}, {"nodump", 0},
            {"autodump", 1}, {"NOAUTODUMP now", 0}}) { // only this one in any case, a prefix
        Client c{srv.Connect()};
        ASSERT_TRUE(srv.Word(c, word) && Flag(srv, flag) && log(word + std::string("\n"))) << word;
        EXPECT_EQ(FileExists(srv.tmp_dir + "/d/log/DUMPLOG"), word == std::string("autodump"))
            << word;
    }
    EXPECT_TRUE(
        dumped("log.cont.1") && file("log.1") == head + sent.substr(0, sent.find("snap\n")));
    EXPECT_EQ(file("log.cont.0"), head + sent.substr(0, sent.find("nodump")));
    EXPECT_EQ(file("log.cont.1"), head + sent.substr(0, sent.find("NOAUTODUMP")));
    ASSERT_TRUE(
        srv.Signal(SIGUSR2) && Flag(srv, 1) && srv.Signal(ProgramSigRtMin()) && Flag(srv, 0));
    EXPECT_TRUE(
        file("log.cont.2") == head + sent && !FileExists(srv.tmp_dir + "/no") && srv.Err().empty());
}

// A dump medium that fills up or goes away under the continuous file.
TEST(MorvDump, FullOrVanishedMediumKeepsTheRelayServing)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-b", "24", "-o", "/tmp/small/log", "-o", "/tmp/log"},
                          "mkdir -p /tmp/small && mount -t tmpfs -o size=48k tmpfs /tmp/small"));
    Client live{srv.Connect()};
    std::string sent, block = std::string(1999, 'a') + "\n";
    auto log = [&](int blocks) {
        for (; blocks > 0 && srv.SendDatagram(block) && Read(live.fd, 2000) == block; blocks--)
            sent += block;
        return blocks == 0;
    };
    ASSERT_TRUE(srv.Word(live, "act") && log(13) && srv.Signal(SIGUSR2));
    ASSERT_TRUE(srv.WaitOut("to /tmp/small/log.cont.0") && log(8) && srv.Signal(SIGUSR1));
    ASSERT_TRUE(srv.WaitOut("to /tmp/small/log.0") && log(16)); // past the end of the room
    ASSERT_TRUE(Flag(srv, 1) && srv.RunInside({"umount", "-l", "/tmp/small"}).status == 0);
    ASSERT_TRUE(RunProgram({"rm", "-rf", srv.tmp_dir + "/small"}).status == 0 && log(1));
    ASSERT_TRUE(srv.Signal(SIGUSR1) && srv.WaitOut("to /tmp/log.0"));
    std::string want = LOG_HEADER + sent.substr(sent.size() - 24 * 1024);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(srv.tmp_dir + "/log.0") == want; }));
    EXPECT_EQ(srv.Err(), "");
}

} // namespace
