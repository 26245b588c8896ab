// morvcat against the real relay: words, commands, the archive and the live
// stream; and archives that are not whole, from a stand-in relay.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

RunResult Morvcat(std::vector<std::string> args, int port)
{
    args.insert(args.begin(), BuiltProgram("morvcat"));
    args.push_back("127.0.0.1:" + std::to_string(port));
    return RunProgram(args);
}

// Rows: arguments, status, the whole standard output (or a part of it
// with --fetch), a part of standard error. Status 3 is in MorvLoop.ClientTable.
TEST(Morvcat, AgainstTheRelay)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-o", "/tmp/log", "-a", "/tmp/note", "-c", "echo"}, "printf 'kept\\n' >/tmp/note"));
    ScratchDir dir;
    std::string archive = dir.file("logs.tgz"), stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ";
    ASSERT_TRUE(srv.SendDatagram("history\n"));
    pid_t follower = SpawnProgram({BuiltProgram("morvcat"), "-t", "127.0.0.1:" + std::to_string(srv.port)},
                                  dir.file("out"), dir.file("err"));
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"-w", "getver"}, 0, "morv v0.1[0]\n", ""}, {{"-w", "dump"}, 0, "", ""},
        {{"-w", "getver"}, 0, "morv v0.1[1]\n", ""}, {{"-q", "500", "-x", "echo a  b"}, 0, "a b\n", ""},
        {{"-q", "500", "-x", "rm -rf /tmp"}, 5, "", "no answer"}, {{"-w", "reboot"}, 1, "", "not a control word"},
        {{"--fetch", archive}, 0, "      5  tmp/note\n", ""}, {{"--fetch", archive}, 0, "tmp/log.cont.0\n", ""},
        {{"--fetch", archive, "-w", "snap"}, 1, "", "Usage"},
    };
    for (const auto &[args, status, out, err] : cases) {
        SCOPED_TRACE(args.back());
        RunResult r = Morvcat(args, srv.port);
        EXPECT_EQ(r.status, status);
        EXPECT_TRUE(args[0] == "--fetch" ? r.out.find(out) != std::string::npos : r.out == out) << r.out;
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadFile(archive).substr(0, 2), "\x1f\x8b");
    RunResult refused = Morvcat({"-w", "getver"}, FreeTcpPort());
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("Connection refused"), std::string::npos) << refused.err;

    srv.Stop();
    int st = 0;
    ASSERT_TRUE(WaitUntil([&] { return waitpid(follower, &st, WNOHANG) == follower; }));
    EXPECT_EQ(WEXITSTATUS(st), 4);
    EXPECT_TRUE(std::regex_match(ReadFile(dir.file("out")), std::regex(stamp + "history\n"))) << ReadFile(dir.file("out"));
    EXPECT_NE(ReadFile(dir.file("err")).find("the relay closed the connection"), std::string::npos);
}

TEST(Morvcat, FetchRefusesArchivesThatAreNotWhole)
{
    ScratchDir dir;
    WriteFile(dir.file("member"), "member text\n");
    RunResult tgz = RunProgram({"tar", "czf", "-", "-C", dir.path, "member"});
    for (const auto &[bytes, err] : {std::pair{tgz.out.substr(0, tgz.out.size() - 9), "not a whole gzip stream"},
                                     {RunProgram({"gzip", "-c"}, "no tar\n").out, "not a whole tar archive"},
                                     {std::string(), "the relay sent no archive"}}) {
        int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ASSERT_TRUE(bind(lfd, (sockaddr *)&a, len) == 0 && listen(lfd, 1) == 0);
        getsockname(lfd, (sockaddr *)&a, &len);
        std::thread relay([&, bytes = bytes] {
            Client c{accept(lfd, nullptr, nullptr)};
            Read(c.fd, 9); // "fetchlogs"
            SendText(c.fd, bytes);
        });
        RunResult r = Morvcat({"--fetch", dir.file("got.tgz")}, ntohs(a.sin_port));
        relay.join();
        close(lfd);
        EXPECT_EQ(r.status, 6);
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
    }
}

} // namespace
