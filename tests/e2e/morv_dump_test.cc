// Dump files of the real relay: signals, control words, continuous dumps,
// and a dump medium that fills up or goes away.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morv_harness.h"

namespace {

const std::string LOG_HEADER =
    "\n---------------------------- Dump of log -----------------------------\n";
const std::string ON = "morv v0.1[1]\n", OFF = "morv v0.1[0]\n";

std::string FileHeader(const std::string &p) { return "\n---------------------------- Dump of " + p + " ---------------------------\n"; }
std::string CmdHeader(const std::string &c) { return "\n--------------------- dump of " + c + " ----------------------------\n"; }
std::string DumpLine(const std::string &name) { return "dump log to " + name + "...\n"; }

size_t Count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// A server with one client that follows the live stream and one that
// sends "getver"; log text is sent and seen on the stream, so a test
// knows the relay has taken it.
struct Relay {
    MorvServer srv;
    int live = -1, ctl = -1;
    std::string sent; // everything the relay has taken

    bool Start(const std::vector<std::string> &args, const std::string &setup = "")
    {
        if (!srv.Start(args, setup))
            return false;
        live = srv.ConnectClient();
        ctl = srv.ConnectClient();
        return live >= 0 && ctl >= 0 && SendText(live, "act") && Getver().size() == 13;
    }
    ~Relay() { close(live); close(ctl); }
    bool Log(const std::string &text)
    {
        if (!srv.SendDatagram(text) || ReadExactly(live, text.size()) != text)
            return false;
        sent += text;
        return true;
    }
    // Sends a word on a connection of its own and waits until the relay
    // has closed it: the word was taken in one pass, its dump request
    // carried out at the top of the next, and the end of file seen after.
    bool Word(const char *word)
    {
        int fd = srv.ConnectClient();
        bool closed = false;
        if (fd >= 0 && SendText(fd, word) && shutdown(fd, SHUT_WR) == 0)
            ReadUntilClosed(fd, &closed);
        close(fd);
        return closed;
    }
    std::string Getver() { return SendText(ctl, "getver") ? ReadExactly(ctl, 13) : ""; }
    // The reply flag settles once the request's pass has run.
    bool WaitGetver(const std::string &want) { return WaitUntil([&] { return Getver() == want; }); }
    std::string Tmp(const std::string &name) const { return srv.tmp_dir + "/" + name; }
    // Waits for the count-th "dump log to" line naming name.
    bool WaitDump(const std::string &name, size_t count = 1) { return WaitUntil([&] { return Count(srv.Out(), DumpLine(name)) >= count; }); }
    bool Dump(int sig, const std::string &name, size_t count = 1) { return srv.Signal(sig) && WaitDump(name, count); }
    bool WaitFile(const std::string &path, const std::string &want) { return WaitUntil([&] { return ReadFile(path) == want; }); }
};

// A signal that comes while a dump runs its command is carried out
// afterwards; log text sent meanwhile waits in the socket's queue.
TEST(MorvDump, SignalsSnapshotContinuousAndStop)
{
    Relay r;
    const char *cmd = "sleep 1; echo cmdout";
    ASSERT_TRUE(r.Start({"-a", "/tmp/extra", "-a", "/tmp/none", "-e", cmd, "-o", "/tmp/log"},
                        "printf 'extra\\n' >/tmp/extra"));
    ASSERT_TRUE(r.Log("one\n"));
    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/log.0"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR2)); // most likely while the command sleeps
    ASSERT_TRUE(r.srv.SendDatagram("two\n"));
    ASSERT_TRUE(r.WaitDump("/tmp/log.cont.0"));
    EXPECT_EQ(ReadExactly(r.live, 4), "two\n");
    EXPECT_TRUE(r.WaitGetver(ON));
    std::string head = FileHeader("/tmp/extra") + "extra\n" + CmdHeader(cmd) + "cmdout\n" + LOG_HEADER;
    EXPECT_EQ(ReadFile(r.Tmp("log.0")), head + "one\n");

    std::string big(2047, 'b');
    ASSERT_TRUE(r.Log(big));
    EXPECT_TRUE(r.WaitFile(r.Tmp("log.cont.0"), head + "one\ntwo\n" + big));
    // One batch: each datagram cut on its own, the empty one leaves no trace.
    std::vector<std::string> burst = {std::string(3000, 'c'), "", "d\n"};
    std::string cut = std::string(2047, 'c') + "d\n";
    while (burst.size() < LogBurstLimit())
        cut += burst.emplace_back(std::to_string(burst.size()) + "\n");
    ASSERT_TRUE(r.srv.SendBurst(burst));
    EXPECT_EQ(ReadExactly(r.live, cut.size()), cut);
    std::string cont = head + "one\ntwo\n" + big + cut;
    EXPECT_TRUE(r.WaitFile(r.Tmp("log.cont.0"), cont));

    ASSERT_TRUE(r.srv.Signal(ProgramSigRtMin()));
    EXPECT_TRUE(r.WaitGetver(OFF));
    ASSERT_TRUE(r.Log("three\n"));
    EXPECT_EQ(ReadFile(r.Tmp("log.cont.0")), cont);
    EXPECT_FALSE(FileExists(r.Tmp("log.1")));
    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/log.1")); // the next number
    EXPECT_TRUE(r.WaitFile(r.Tmp("log.1"), cont + "three\n"));
    EXPECT_EQ(r.srv.Err(), "");
}

// The loop keeps the dump signals blocked outside its wait; the commands a
// dump starts must not inherit that, or a command relying on them breaks.
// dash clears the mask it inherits and would hide the fault, so /bin/sh is
// bash inside the server's namespace, which passes the mask on as it is.
TEST(MorvDump, DumpCommandsRunWithDumpSignalsUnblocked)
{
    Relay r;
    ASSERT_TRUE(r.Start({"-e", "grep SigBlk /proc/self/status", "-o", "/tmp/log"},
                        "mount --bind /bin/bash /bin/sh"));
    ASSERT_TRUE(r.srv.Signal(SIGUSR1));
    ASSERT_TRUE(r.WaitDump("/tmp/log.0"));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(r.Tmp("log.0")).find(LOG_HEADER) != std::string::npos; }));
    std::string dump = ReadFile(r.Tmp("log.0"));
    size_t at = dump.find("SigBlk:");
    ASSERT_NE(at, std::string::npos) << dump;
    unsigned long long blocked = strtoull(dump.c_str() + at + 7, nullptr, 16);
    EXPECT_EQ(blocked & (1ull << (SIGUSR1 - 1)), 0u);
    EXPECT_EQ(blocked & (1ull << (SIGUSR2 - 1)), 0u);
    EXPECT_EQ(blocked & (1ull << (ProgramSigRtMin() - 1)), 0u);
}

// Each word in turn: the dump file it starts ("" none), the "getver" flag
// and the marker afterwards, and log text sent after it. The first dump
// path can't be had; the marker goes into the second, taken as a directory.
TEST(MorvDump, ControlWords)
{
    Relay r;
    mkdir(r.Tmp("logs").c_str(), 0755);
    mkdir(r.Tmp("logs/b").c_str(), 0755);
    ASSERT_TRUE(r.Start({"-o", "/tmp/missing/a", "-o", "/tmp/logs/b"}));
    ASSERT_TRUE(r.Log("x\n"));
    struct Case { const char *word, *wrote; const std::string &ver; bool marker; const char *log; };
    const Case cases[] = {
        {"snap", "b.0", OFF, false, ""},
        {"dump", "b.cont.0", ON, false, ""},
        {"dump", "", ON, false, ""}, // one continuous file
        {"snap", "b.1", ON, false, "y\n"},
        {"nodump", "", OFF, false, ""},
        {"nodump", "", OFF, false, ""}, // nothing happens
        {"autodump", "b.cont.1", ON, true, ""},
        {"noautodump", "", OFF, false, "z\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        size_t before = Count(r.srv.Out(), "dump log to ");
        ASSERT_TRUE(r.Word(c.word));
        std::string out = r.srv.Out();
        EXPECT_EQ(Count(out, "dump log to "), before + (*c.wrote ? 1 : 0));
        if (*c.wrote)
            EXPECT_EQ(Count(out, DumpLine("/tmp/logs/" + std::string(c.wrote))), 1u);
        EXPECT_EQ(r.Getver(), c.ver);
        EXPECT_EQ(FileExists(r.Tmp("logs/b/DUMPLOG")), c.marker);
        if (*c.log)
            ASSERT_TRUE(r.Log(c.log));
    }
    EXPECT_FALSE(FileExists(r.Tmp("missing")));
    EXPECT_EQ(ReadFile(r.Tmp("logs/b.0")), LOG_HEADER + "x\n");
    EXPECT_EQ(ReadFile(r.Tmp("logs/b.1")), LOG_HEADER + "x\n");
    EXPECT_EQ(ReadFile(r.Tmp("logs/b.cont.0")), LOG_HEADER + "x\ny\n");
    EXPECT_EQ(ReadFile(r.Tmp("logs/b.cont.1")), LOG_HEADER + "x\ny\n");
}

// Log text in blocks of 2000 bytes, each seen on the live stream.
bool LogBlocks(Relay &r, int blocks, char fill)
{
    for (int i = 0; i < blocks; i++)
        if (!r.Log(std::string(1999, fill) + "\n"))
            return false;
    return true;
}

// A dump medium that fills up must not stop the intake, the live stream
// or later dumps.
TEST(MorvDump, FullMediumKeepsTheRelayServing)
{
    Relay r;
    ASSERT_TRUE(r.Start({"-b", "24", "-o", "/tmp/small/log"},
                        "mkdir -p /tmp/small && mount -t tmpfs -o size=48k tmpfs /tmp/small"));
    ASSERT_TRUE(LogBlocks(r, 13, 'a')); // fills the 24 KiB ring
    ASSERT_TRUE(r.Dump(SIGUSR2, "/tmp/small/log.cont.0"));
    ASSERT_TRUE(LogBlocks(r, 8, 'b')); // about 40 of the 48 KiB are used now

    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/small/log.0")); // room for a part of the snapshot
    ASSERT_TRUE(LogBlocks(r, 16, 'c')); // the continuous file hits the full medium
    EXPECT_EQ(r.Getver(), ON);
    RunResult sizes = r.srv.RunInside({"sh", "-c", "wc -c </tmp/small/log.0; wc -c </tmp/small/log.cont.0"});
    int snap = 0, cont = 0;
    ASSERT_EQ(sscanf(sizes.out.c_str(), "%d %d", &snap, &cont), 2) << sizes.out << sizes.err;
    EXPECT_GT(snap, 0);
    EXPECT_LT(snap, 72 + 24 * 1024) << "the snapshot did not meet a full medium";
    EXPECT_LT(cont, 72 + 24 * 1024 + 2000 * 24) << "the continuous file did not meet a full medium";

    ASSERT_TRUE(r.srv.Signal(ProgramSigRtMin()));
    EXPECT_TRUE(r.WaitGetver(OFF));
    ASSERT_EQ(r.srv.RunInside({"sh", "-c", "rm /tmp/small/log.*"}).status, 0);
    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/small/log.0", 2));
    std::string want = LOG_HEADER + r.sent.substr(r.sent.size() - 24 * 1024);
    EXPECT_TRUE(WaitUntil([&] { return r.srv.RunInside({"cat", "/tmp/small/log.0"}).out == want; }));
    EXPECT_EQ(r.srv.Err(), "");
}

// A dump directory removed under the open continuous file, and a medium
// unmounted after a snapshot: the relay serves on and later dumps go where
// they can.
TEST(MorvDump, VanishedMediumKeepsTheRelayServing)
{
    Relay r;
    mkdir(r.Tmp("vanish").c_str(), 0755);
    ASSERT_TRUE(r.Start({"-o", "/tmp/vanish/log", "-o", "/tmp/gone/log", "-o", "/tmp/log"},
                        "mkdir -p /tmp/gone && mount -t tmpfs -o size=64k tmpfs /tmp/gone"));
    ASSERT_TRUE(r.Log("before\n"));
    ASSERT_TRUE(r.Dump(SIGUSR2, "/tmp/vanish/log.cont.0"));
    ASSERT_EQ(RunProgram({"rm", "-rf", r.Tmp("vanish")}).status, 0);
    ASSERT_TRUE(r.Log("after\n"));
    EXPECT_EQ(r.Getver(), ON);

    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/gone/log.0")); // goes to the second path
    ASSERT_EQ(r.srv.RunInside({"umount", "-l", "/tmp/gone"}).status, 0);
    ASSERT_EQ(RunProgram({"rm", "-rf", r.Tmp("gone")}).status, 0);
    ASSERT_TRUE(r.Log("later\n"));

    ASSERT_TRUE(r.srv.Signal(ProgramSigRtMin()));
    EXPECT_TRUE(r.WaitGetver(OFF));
    ASSERT_TRUE(r.Dump(SIGUSR1, "/tmp/log.0")); // the first two paths are gone
    EXPECT_TRUE(r.WaitFile(r.Tmp("log.0"), LOG_HEADER + "before\nafter\nlater\n"));
    ASSERT_TRUE(r.Dump(SIGUSR2, "/tmp/log.cont.0"));
    EXPECT_TRUE(r.WaitGetver(ON));
    EXPECT_EQ(r.srv.Err(), "");
}

} // namespace
