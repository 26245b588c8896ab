// morvcat against the real relay: words, commands and the archive in one
// table; the live stream across a relay restart; the turned-away fifth
// client; and archives that are not whole, from a stand-in relay.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "morv_harness.h"

namespace {

RunResult Morvcat(std::vector<std::string> args, int port)
{
    args.insert(args.begin(), BuiltProgram("morvcat"));
    args.push_back("127.0.0.1:" + std::to_string(port));
    return RunProgram(args);
}

struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // the whole standard output, unless list is set
    std::string err;  // a part of standard error
    bool list = false; // out is a part of standard output
};

TEST(Morvcat, WordsCommandsAndFetchAgainstTheRelay)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-o", "/tmp/log", "-a", "/tmp/note", "-c", "echo,sleep"},
                          "printf 'kept\\n' >/tmp/note"));
    ScratchDir dir;
    std::string archive = dir.file("logs.tgz");
    const Case CASES[] = {
        {{"-w", "getver"}, 0, "morv v0.1[0]\n", ""},
        {{"-w", "dump"}, 0, "", ""},
        {{"-w", "getver"}, 0, "morv v0.1[1]\n", ""},
        {{"-q", "500", "-x", "echo a  b"}, 0, "a b\n", ""},
        {{"-q", "3000", "-x", "sleep 1; echo late"}, 0, "", ""}, // cut at the semicolon
        {{"-q", "500", "-x", "cat    /tmp/note"}, 0, "kept\n", ""},
        {{"-x", "rm -rf /tmp"}, 5, "", "no answer"},
        {{"-w", "reboot"}, 1, "", "not a control word"},
        {{"--fetch", archive}, 0, "tmp/log.cont.0\n", "", true},
        {{"--fetch", archive}, 0, "      5  tmp/note\n", "", true},
        {{"--fetch", archive, "-w", "snap"}, 1, "", "Usage"},
    };
    ASSERT_TRUE(srv.SendDatagram("line\n"));
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.args.back());
        RunResult r = Morvcat(c.args, srv.port);
        EXPECT_EQ(r.status, c.status);
        if (c.list)
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        else
            EXPECT_EQ(r.out, c.out);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadFile(archive).substr(0, 2), "\x1f\x8b");
    RunResult refused = Morvcat({"-w", "getver"}, FreeTcpPort());
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("Connection refused"), std::string::npos) << refused.err;
}

// Four clients hold every place: the fifth is closed at once.
TEST(Morvcat, FifthClientIsTurnedAway)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    std::vector<int> held;
    for (int i = 0; i < 4; i++)
        held.push_back(srv.ConnectClient());
    ASSERT_TRUE(srv.WaitForOut("accepted.\n"));
    ASSERT_TRUE(WaitUntil([&] {
        std::string out = srv.Out();
        size_t n = 0;
        for (size_t at = out.find(" accepted."); at != std::string::npos;
             at = out.find(" accepted.", at + 1))
            n++;
        return n == 4;
    }));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"-w", "getver"}, {"-x", "ls /"}}) {
        RunResult r = Morvcat(args, srv.port);
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("turned the connection away"), std::string::npos) << r.err;
    }
    for (int fd : held)
        close(fd);
}

bool Contains(const std::string &path, const std::string &text)
{
    return ReadFile(path).find(text) != std::string::npos;
}

// One follower reconnects across a restart of the relay, with times in
// front of its lines; the other ends when the relay goes away.
TEST(Morvcat, StreamsHistoryAndLiveAcrossARestart)
{
    ScratchDir dir;
    auto first = std::make_unique<MorvServer>();
    ASSERT_TRUE(first->Start());
    ASSERT_TRUE(first->SendDatagram("history\n"));
    int port = first->port;
    std::string target = "127.0.0.1:" + std::to_string(port);
    pid_t keep = SpawnProgram({BuiltProgram("morvcat"), "-t", "-r", target},
                              dir.file("keep.out"), dir.file("keep.err"));
    pid_t plain = SpawnProgram({BuiltProgram("morvcat"), target}, dir.file("plain.out"),
                               dir.file("plain.err"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(dir.file("plain.out"), "history\n"); }));
    ASSERT_TRUE(WaitUntil([&] { return Contains(dir.file("keep.out"), "history\n"); }));
    ASSERT_TRUE(first->SendDatagram("live, no newline yet"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(dir.file("plain.out"), "no newline yet"); }));
    first.reset();

    int st = 0;
    EXPECT_TRUE(WaitUntil([&] { return waitpid(plain, &st, WNOHANG) == plain; }));
    EXPECT_EQ(WEXITSTATUS(st), 4);
    EXPECT_EQ(ReadFile(dir.file("plain.out")), "history\nlive, no newline yet\n");
    EXPECT_TRUE(Contains(dir.file("plain.err"), "the relay closed the connection"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(dir.file("keep.err"), "reconnecting in"); }));

    MorvServer second;
    second.port = port;
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitUntil([&] { return Contains(dir.file("keep.err"), "connected again"); }));
    ASSERT_TRUE(second.SendDatagram("after the restart\n"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(dir.file("keep.out"), "after the restart"); }));
    kill(keep, SIGTERM);
    waitpid(keep, &st, 0);
    std::string stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ";
    std::regex want(stamp + "history\n" + stamp + "live, no newline yet\n" + stamp +
                    "after the restart\n");
    EXPECT_TRUE(std::regex_match(ReadFile(dir.file("keep.out")), want))
        << ReadFile(dir.file("keep.out"));
}

// A stand-in relay that answers one connection with the given bytes.
void ServeOnce(int listen_fd, std::string bytes)
{
    int fd = accept(listen_fd, nullptr, nullptr);
    char word[16];
    if (fd >= 0 && recv(fd, word, sizeof word, 0) > 0)
        SendText(fd, bytes);
    close(fd);
}

TEST(Morvcat, FetchRefusesArchivesThatAreNotWhole)
{
    ScratchDir dir;
    WriteFile(dir.file("member"), "member text\n");
    RunResult tgz = RunProgram({"tar", "czf", "-", "-C", dir.path, "member"});
    RunResult gz = RunProgram({"gzip", "-c"}, "not a tar archive\n");
    ASSERT_EQ(tgz.status, 0);
    const struct {
        std::string bytes, err;
        int status;
    } CASES[] = {
        {tgz.out, "", 0},
        {tgz.out.substr(0, tgz.out.size() - 9), "not a whole gzip stream", 6},
        {"plain text\n", "not a whole gzip stream", 6},
        {gz.out, "not a whole tar archive", 6},
        {"", "the relay sent no archive", 6},
    };
    for (const auto &c : CASES) {
        SCOPED_TRACE(c.err);
        int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(lfd, (sockaddr *)&a, len), 0);
        listen(lfd, 1);
        getsockname(lfd, (sockaddr *)&a, &len);
        std::thread relay(ServeOnce, lfd, c.bytes);
        RunResult r = Morvcat({"--fetch", dir.file("got.tgz")}, ntohs(a.sin_port));
        relay.join();
        close(lfd);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.status == 0)
            EXPECT_NE(r.out.find("        12  member\n"), std::string::npos) << r.out;
    }
}

} // namespace
