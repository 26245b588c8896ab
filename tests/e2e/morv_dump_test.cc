// Dump files of the real relay: signals, control words, continuous dumps,
// and dump media that fill up or go away.
#include <unistd.h>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

const std::string LOG_HEADER = "\n---------------------------- Dump of log -----------------------------\n";

// A relay with a client on the live stream: text seen there has been taken.
struct Relay {
    MorvServer srv;
    Client live{-1};
    std::string sent;
    bool Start(const std::vector<std::string> &args, const std::string &setup)
    {
        return srv.Start(args, setup) && (live.fd = srv.Connect()) >= 0 && Word(srv, live, "act");
    }
    bool Log(const std::string &text)
    {
        sent += text;
        return srv.SendDatagram(text) && Read(live.fd, text.size()) == text;
    }
    // The getver flag settles once the request's pass has run.
    bool Flag(int cont)
    {
        std::string want = "morv v0.1[" + std::to_string(cont) + "]\n";
        return WaitUntil([&] { Client c{srv.Connect()}; return SendText(c.fd, "getver") && Read(c.fd, 13) == want; });
    }
    // Waits for the count-th "dump log to" line naming /tmp/name.
    bool Dumped(const std::string &name, size_t count = 1)
    {
        std::string line = "dump log to /tmp/" + name + "...\n";
        return WaitUntil([&] {
            std::string out = srv.Out();
            size_t n = 0;
            for (size_t at = 0; (at = out.find(line, at)) != std::string::npos; at++)
                n++;
            return n >= count;
        });
    }
    std::string File(const std::string &name) const { return ReadFile(srv.tmp_dir + "/" + name); }
};

// The first dump path can't be had; the marker goes into the second, taken
// as a directory. A signal that comes while a dump runs its command is
// carried out afterwards, and the command runs with the dump signals
// unblocked (bash as /bin/sh passes on the mask it inherits).
TEST(MorvDump, SignalsWordsAndContinuousFile)
{
    Relay r;
    const std::string cmd = "sleep 1; grep SigBlk /proc/self/status";
    ASSERT_TRUE(r.Start({"-a", "/tmp/extra", "-a", "/tmp/none", "-e", cmd, "-o", "/tmp/no/a", "-o", "/tmp/d/log"},
                        "mount --bind /bin/bash /bin/sh && mkdir -p /tmp/d/log && echo extra >/tmp/extra"));
    ASSERT_TRUE(r.Log("one\n"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR1) && r.Dumped("d/log.0"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR2)); // most likely while the command sleeps
    ASSERT_TRUE(r.Log("two\n"));
    ASSERT_TRUE(r.Dumped("d/log.cont.0") && r.Flag(1));
    std::string snap = r.File("d/log.0"), blk = snap.substr(snap.find("SigBlk:") + 7);
    EXPECT_EQ(strtoull(blk.c_str(), nullptr, 16) & (1ull << (SIGUSR1 - 1) | 1ull << (SIGUSR2 - 1) |
                                                    1ull << (ProgramSigRtMin() - 1)), 0u) << snap;
    std::string head = "\n---------------------------- Dump of /tmp/extra ---------------------------\nextra\n"
                       "\n--------------------- dump of " + cmd + " ----------------------------\n" +
                       snap.substr(snap.find("SigBlk:"), blk.find('\n') + 8) + LOG_HEADER;
    EXPECT_EQ(snap, head + "one\n");
    ASSERT_TRUE(r.Log(std::string(2047, 'b')));
    EXPECT_TRUE(WaitUntil([&] { return r.File("d/log.cont.0") == head + r.sent; }));
    for (auto [word, flag] : {std::pair{"snap", 1}, {"dump", 1}, {"nodump", 0}, {"nodump", 0}, {"autodump", 1},
                              {"noautodump", 0}}) {
        Client c{r.srv.Connect()};
        ASSERT_TRUE(Word(r.srv, c, word) && r.Flag(flag)) << word;
        EXPECT_EQ(FileExists(r.srv.tmp_dir + "/d/log/DUMPLOG"), word == std::string("autodump")) << word;
        ASSERT_TRUE(r.Log(word + std::string("\n")));
    }
    EXPECT_EQ(r.File("d/log.1"), head + "one\ntwo\n" + std::string(2047, 'b'));
    EXPECT_TRUE(r.Dumped("d/log.cont.1"));
    EXPECT_EQ(r.File("d/log.cont.0"), head + r.sent.substr(0, r.sent.find("nodump")));
    EXPECT_EQ(r.File("d/log.cont.1"), head + r.sent.substr(0, r.sent.find("noautodump")));

    ASSERT_TRUE(r.srv.Signal(SIGUSR2) && r.Flag(1) && r.srv.Signal(ProgramSigRtMin()) && r.Flag(0));
    for (int i = 0; i < 3; i++) // each during the wait, carried out at once
        ASSERT_TRUE(r.srv.Signal(SIGUSR1) && r.Dumped("d/log." + std::to_string(i + 2)));
    EXPECT_EQ(r.File("d/log.cont.2"), head + r.sent);
    EXPECT_FALSE(FileExists(r.srv.tmp_dir + "/no"));
    EXPECT_EQ(r.srv.Err(), "");
}

// A dump medium that fills up, and one unmounted under the open continuous
// file: intake, live stream and later dumps go on, to the next path.
TEST(MorvDump, FullOrVanishedMediumKeepsTheRelayServing)
{
    Relay r;
    ASSERT_TRUE(r.Start({"-b", "24", "-o", "/tmp/small/log", "-o", "/tmp/log"},
                        "mkdir -p /tmp/small && mount -t tmpfs -o size=48k tmpfs /tmp/small"));
    std::string block(1999, 'a');
    for (int i = 0; i < 13; i++) // fills the ring
        ASSERT_TRUE(r.Log(block + "\n"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR2) && r.Dumped("small/log.cont.0"));
    for (int i = 0; i < 8; i++) // about 40 of the 48 KiB are used now
        ASSERT_TRUE(r.Log(block + "\n"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR1) && r.Dumped("small/log.0")); // room for a part of it
    for (int i = 0; i < 16; i++)
        ASSERT_TRUE(r.Log(block + "\n"));
    RunResult sizes = r.srv.RunInside({"sh", "-c", "wc -c </tmp/small/log.0; wc -c </tmp/small/log.cont.0"});
    int snap = 0, cont = 0;
    ASSERT_EQ(sscanf(sizes.out.c_str(), "%d %d", &snap, &cont), 2) << sizes.err;
    EXPECT_TRUE(snap > 0 && snap < 72 + 24 * 1024 && cont < 72 + 24 * 1024 + 2000 * 24) << snap << " " << cont;
    ASSERT_TRUE(r.Flag(1));
    ASSERT_EQ(r.srv.RunInside({"umount", "-l", "/tmp/small"}).status, 0);
    ASSERT_EQ(RunProgram({"rm", "-rf", r.srv.tmp_dir + "/small"}).status, 0);
    ASSERT_TRUE(r.Log("after\n"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR1) && r.Dumped("log.0"));
    EXPECT_TRUE(WaitUntil([&] { return r.File("log.0") == LOG_HEADER + r.sent.substr(r.sent.size() - 24 * 1024); }));
    EXPECT_EQ(r.srv.Err(), "");
}

} // namespace
