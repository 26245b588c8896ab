// Remote commands and the log fetch of the real relay, and morvcat driving it.
#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

std::string Header(const std::string &cmd)
{
    return "\n" + std::string(62, '=') + "\n[[[[" + cmd + "]]]\n";
}

// A text on a connection of its own, then the end of input.
std::string Ask(const MorvServer &srv, const std::string &text)
{
    Client c{srv.Connect()};
    bool closed = false;
    std::string got = SendText(c.fd, text) && shutdown(c.fd, SHUT_WR) == 0
        ? Read(c.fd, 1 << 20, MORV_WAIT_MS, &closed)
        : "";
    return closed ? got : "(not closed) " + got;
}

// Run in /tmp, which holds "note"; only the first list's last text may create /tmp/m. A dump
// signal first leaves EINTR in errno.
TEST(MorvRemote, AllowedCheckCutAndInjection)
{
    const std::string longest = "echo " + std::string(251, 'x'); // the most a client text holds
    const struct {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> rows; // text, reply
    } servers[] = {
        {{"-c", "pwd", "-c", "echo,touch,nosuchcmd,sprintf,printf"}, // the later list counts
            {{"pwd", ""}, {"echo a  b", Header("echo a  b") + "a b\n"},
                {"printf x", ""}, // first found inside sprintf
                {" echo x", ""}, // the empty first word is not at the list's start
                {"cat    note", Header("cat note") + "note\n"},
                {"cat note  ", Header("cat note  ") + "note\n"}, {"cat \t\v ", ""},
                {"cat \t\n note", ""}, {"cat\tnote", ""}, // not "cat ": needs the list
                {"ls note /nonexistent",
                    Header("ls note /nonexistent") + "note\n"}, // standard error not sent
                {"nosuchcmd x", Header("nosuchcmd x")},
                {longest, Header(longest) + longest.substr(5) + "\n"},
                {"ls note ; touch /tmp/m", Header("ls note ") + "note\n"},
                {"echo a\ntouch /tmp/m", Header("echo a") + "a\n"},
                {"echo a\rtouch /tmp/m", Header("echo a") + "a\n"},
                {"echo a >> /tmp/m", Header("echo a ") + "a\n"},
                {"cat note <> /tmp/m", Header("cat note ") + "note\n"},
                {"echo a|touch /tmp/m", Header("echo a") + "a\n"},
                {"echo a & touch /tmp/m", Header("echo a ") + "a\n"},
                {"echo `touch /tmp/m`", Header("echo ") + "\n"},
                {"echo $(touch /tmp/m)", Header("echo ") + "\n"},
                {"echo a \\\ntouch /tmp/m", Header("echo a ") + "a\n"},
                {"touch /tmp/m", Header("touch /tmp/m")}}},
        {{"-c", ",echo"},
            {{" echo x", Header(" echo x") + "x\n"}, {"echo x", Header("echo x") + "x\n"},
                {"\ntouch /tmp/m", ""},
                {"\rtouch /tmp/m", ""}}}, // an empty first word, and nothing before the cut
    };
    for (const auto &[args, rows] : servers) {
        MorvServer srv;
        ASSERT_TRUE(srv.Start(args, "echo note >/tmp/note && cd /tmp"));
        ASSERT_TRUE(srv.Signal(ProgramSigRtMin()) && Ask(srv, "getver") == "morv v0.1[0]\n");
        for (const auto &[text, reply] : rows) {
            SCOPED_TRACE(testing::PrintToString(text));
            ASSERT_EQ(Ask(srv, text), reply);
            EXPECT_EQ(FileExists(srv.tmp_dir + "/m"), &reply == &servers[0].rows.back().second);
        }
        EXPECT_EQ(srv.Err().find("touch"), std::string::npos) << srv.Err();
    }
}

// Long paths make the archive command outgrow any small fixed buffer.
TEST(MorvRemote, FetchLogsAndMorvcat)
{
    MorvServer srv, none;
    std::string dir = "tmp/" + std::string(120, 'd'), got = srv.scratch.file("got.tgz");
    std::string bulk
        = RunProgram({"head", "-c", "20000", "/dev/urandom"}).out; // does not shrink in the archive
    ASSERT_EQ(RunProgram({"mkdir", "-p", srv.tmp_dir + "/a", srv.scratch.file(dir)}).status, 0);
    std::vector<std::string> args = {"-c", "echo", "-o", "/tmp/a/log", "-o", "/" + dir + "/log"},
                             want = {"log.0", "log.cont.0"};
    for (int i = 0; i < 10; i++) {
        args.insert(args.end(), {"-a", "/" + dir + "/extra" + std::to_string(i)});
        if (i != 4)
            want.push_back("extra" + std::to_string(i));
    }
    for (const std::string &name : want)
        WriteFile(srv.scratch.file(dir + "/" + name), name + bulk);
    ASSERT_TRUE(srv.Start(args) && none.Start({"-a", "/tmp/missing"}));
    const std::tuple<std::vector<std::string>, int, int, std::string, std::string> cases[]
        = {// arguments, port, status, a part of standard output, a part of standard error
            {{"-q", "500", "-x", "rm -rf /tmp"}, srv.port, 5, "", "no answer"},
            {{"--fetch", got}, none.port, 6, "", "the relay sent no archive"},
            {{"--fetch", got, "-w", "snap"}, srv.port, 1, "", "Usage"},
            {{"--fetch", got}, srv.port, 0, "  " + dir + "/extra9\n", ""},
            {{"-w", "getver"}, FreeTcpPort(), 2, "", "Connection refused"}};
    for (auto [args, port, status, out, err] : cases) {
        args.insert(args.begin(), BuiltProgram("morvcat"));
        args.push_back("127.0.0.1:" + std::to_string(port));
        RunResult r = RunProgram(args);
        EXPECT_TRUE(r.status == status && r.out.find(out) != std::string::npos
            && r.err.find(err) != std::string::npos) << args[2] << r.out << r.err;
    }
    for (const std::string &name : want) // the last good fetch
        EXPECT_TRUE(RunProgram({"tar", "xzOf", got, dir + "/" + name}).out == name + bulk) << name;
    EXPECT_FALSE(FileExists(srv.tmp_dir + "/morvlog.tgz"));
}

} // namespace
