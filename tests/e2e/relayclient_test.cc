// The relay client functions, through tools/morv_example, against a real
// relay and the systemcall service stand-in, inside the relay's namespace.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "morv_harness.h"

namespace {

bool IsSocket(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// One write becomes one datagram: the relay keeps 2047 bytes of the long
// line and then takes the next write whole. Own paths of 107 bytes fit the
// socket address (a stale file there is replaced); 108 are refused.
TEST(RelayClient, MorvCliTurnsOutputIntoDatagrams)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    int live = srv.ConnectClient();
    ASSERT_TRUE(SendText(live, "act"));
    std::string fits = "/tmp/" + std::string(102, 'f'), too_long = "/tmp/" + std::string(103, 'l');
    WriteFile(srv.tmp_dir + fits.substr(4), "stale");
    WriteFile(srv.tmp_dir + too_long.substr(4), "kept");
    std::string example = BuiltProgram("morv_example"), big(3000, 'b');

    RunResult r = srv.RunInside({example, big, "end"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(ReadExactly(live, 2047 + 4), big.substr(0, 2047) + "end\n");

    r = srv.RunInside({example, "-o", fits, "mine"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadExactly(live, 5), "mine\n");
    EXPECT_TRUE(IsSocket(srv.tmp_dir + fits.substr(4)));

    r = srv.RunInside({example, "-o", too_long, "here"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "here\n");
    EXPECT_TRUE(r.err == "morv_example: morv_cli gave -1: File name too long\n" ||
                r.err == "morv_example: morv_cli gave -1: Filename too long\n") // glibc, musl
        << r.err;
    EXPECT_EQ(ReadFile(srv.tmp_dir + too_long.substr(4)), "kept");

    ASSERT_EQ(unlink(srv.socket_path.c_str()), 0); // no relay to connect to
    r = srv.RunInside({example, "-o", fits, "still here"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "still here\n");
    EXPECT_EQ(r.err, "connect to /var/run/morv.sock: No such file or directory\n"
                     "morv_example: morv_cli gave -1: No such file or directory\n");
    EXPECT_EQ(ReadFor(live, 200), "");
    close(live);
}

// Each row starts the stand-in (when it has options) for one connection,
// then RSYSTEM; the stand-in has ended when the run returns. Rows that
// fall back to the local system() don't check errno.
TEST(RelayClient, RsystemUsesTheServiceOrFallsBack)
{
    struct Case {
        const char *service; // stand-in options; null: no service
        const char *cmd, *out;
    };
    const Case cases[] = {
        {nullptr, "echo local; exit 3", "local\nRSYSTEM: 768, errno "},
        {"", "echo remote; exit 3", "remote\nRSYSTEM: 768, errno untouched\n"},
        {"-r -1 -e 2", "echo no", "RSYSTEM: -1, errno 2\n"},
        {"-r 0", "echo no", "RSYSTEM: 0, errno untouched\n"},
        {"-r 0 -b 4", "echo local; exit 3", "local\nRSYSTEM: 768, errno "},
        {"-b 0", "echo twice", "twice\ntwice\nRSYSTEM: 0, errno "}, // ran there and here
    };
    MorvServer srv;
    ASSERT_TRUE(srv.Start());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.service ? c.service : "no service");
        std::string script = BuiltProgram("morv_example") + " -r '" + c.cmd + "'";
        if (c.service)
            script = BuiltProgram("systemcall_service") + " -d -n 1 " + c.service + " && " + script;
        RunResult r = srv.RunInside({"sh", "-c", script});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, strlen(c.out)), c.out);
        if (c.out[strlen(c.out) - 1] == '\n')
            EXPECT_EQ(r.out, c.out);
        EXPECT_FALSE(FileExists(srv.tmp_dir + "/systemcall.sock"));
    }
}

} // namespace
