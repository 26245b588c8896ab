// The relay client functions, through tools/morv_example, against a real
// relay and the systemcall service, inside the relay's namespace.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

// One write is one datagram: the relay keeps 2047 bytes of the long line.
// Own paths of 107 bytes fit (a stale file there is replaced), 108 are
// refused; with standard output closed the socket lands on it and works.
TEST(RelayClient, MorvCliTurnsOutputIntoDatagrams)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    Client live{srv.Connect()};
    ASSERT_TRUE(Word(srv, live, "act"));
    std::string fits = "/tmp/" + std::string(102, 'f'), too_long = "/tmp/" + std::string(103, 'l'), big(3000, 'b');
    WriteFile(srv.tmp_dir + fits.substr(4), "stale");
    WriteFile(srv.tmp_dir + too_long.substr(4), "kept");
    std::string example = BuiltProgram("morv_example");
    const std::tuple<std::string, int, std::string, std::string> cases[] = { // script, status, stdout, datagrams
        {example + " " + big + " end", 0, "", big.substr(0, 2047) + "end\n"},
        {example + " -o " + fits + " mine", 0, "", "mine\n"},
        {example + " 'closed out' >&-", 0, "", "closed out\n"},
        {example + " -o " + too_long + " here", 1, "here\n", ""},
    };
    for (const auto &[script, status, out, sent] : cases) {
        RunResult r = srv.RunInside({"sh", "-c", script});
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(Read(live.fd, sent.size()), sent);
    }
    struct stat st;
    EXPECT_TRUE(stat((srv.tmp_dir + fits.substr(4)).c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    EXPECT_EQ(ReadFile(srv.tmp_dir + too_long.substr(4)), "kept");
    ASSERT_EQ(unlink(srv.socket_path.c_str()), 0); // no relay to connect to
    RunResult r = srv.RunInside({example, "-o", fits, "still here"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "still here\n");
    EXPECT_EQ(r.err, "connect to /var/run/morv.sock: No such file or directory\n"
                     "morv_example: morv_cli gave -1: No such file or directory\n");
    EXPECT_EQ(Read(live.fd, SIZE_MAX, 200), "");
}

// Each row starts the service (when it has options) for one connection,
// then RSYSTEM; rows that fall back to the local system() don't check
// errno. Last, a service of the test's own sees the exact request.
TEST(RelayClient, RsystemUsesTheServiceOrFallsBack)
{
    const std::tuple<const char *, const char *, std::string> cases[] = {
        {nullptr, "echo local; exit 3", "local\nRSYSTEM: 768, errno "},
        {"", "echo remote; exit 3", "remote\nRSYSTEM: 768, errno untouched\n"},
        {"-r -1 -e 2", "echo no", "RSYSTEM: -1, errno 2\n"},
        {"-r 0", "echo no", "RSYSTEM: 0, errno untouched\n"},
        {"-r 0 -b 4", "echo local; exit 3", "local\nRSYSTEM: 768, errno "},
        {"-b 0", "echo twice", "twice\ntwice\nRSYSTEM: 0, errno "}, // ran there and here
    };
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    for (const auto &[service, cmd, out] : cases) {
        std::string script = BuiltProgram("morv_example") + " -r '" + cmd + "'";
        if (service)
            script = BuiltProgram("systemcall_service") + " -d -n 1 " + service + " && " + script;
        RunResult r = srv.RunInside({"sh", "-c", script});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(out.back() == '\n' ? r.out : r.out.substr(0, out.size()), out) << script;
        EXPECT_FALSE(FileExists(srv.tmp_dir + "/systemcall.sock"));
    }
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s/systemcall.sock", srv.tmp_dir.c_str());
    ASSERT_TRUE(bind(lfd, (sockaddr *)&a, sizeof a) == 0 && listen(lfd, 1) == 0);
    std::string request;
    std::thread service([&] {
        Client c{accept(lfd, nullptr, nullptr)};
        request = Read(c.fd, 100, 500);
    });
    RunResult r = srv.RunInside({BuiltProgram("morv_example"), "-r", "exit 5"});
    service.join();
    close(lfd);
    EXPECT_EQ(request, std::string("exit 5\0", 7));
    EXPECT_EQ(r.out.substr(0, 15), "RSYSTEM: 1280, "); // no reply: ran here
}

} // namespace
