// Remote commands and the log fetch of the real relay.
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
    bool sent = SendText(c.fd, text) && shutdown(c.fd, SHUT_WR) == 0;
    std::string got = sent ? Read(c.fd, 1 << 20, MORV_WAIT_MS, &closed) : "";
    return closed ? got : "(not closed) " + got;
}

// The relay runs in /tmp, which holds "note"; only the last text of the first relay may create
// /tmp/m. A dump signal first leaves EINTR in errno. Refused: a command of the first -c only, one
// found first inside another word (sprintf), an empty first word not at the list's start, "cat"
// without its blank or with only blanks after it.
TEST(MorvRemote, AllowedCheckCutAndInjection)
{
    const std::string longest = "echo " + std::string(251, 'x'); // the most a client text holds
    struct {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> rows; // text, reply
    } servers[] = {
        {{"-c", "pwd", "-c", "echo,touch,nosuchcmd,sprintf,printf"},
            {{"pwd", ""}, {"printf x", ""}, {" echo x", ""}, {"cat\tnote", ""}, {"cat \t\v ", ""},
                {"cat \t\n note", ""}, {"echo a  b", Header("echo a  b") + "a b\n"},
                {"cat    note", Header("cat note") + "note\n"},
                {"cat note  ", Header("cat note  ") + "note\n"},
                {"ls note /nonexistent", Header("ls note /nonexistent") + "note\n"}, // no stderr
                {"nosuchcmd x", Header("nosuchcmd x")},
                {longest, Header(longest) + longest.substr(5) + "\n"},
                {"cat note <> /tmp/m", Header("cat note ") + "note\n"},
                {"touch /tmp/m", Header("touch /tmp/m")}}},
        {{"-c", ",echo"}, // an empty first word, and nothing before the cut
            {{" echo x", Header(" echo x") + "x\n"}, {"echo x", Header("echo x") + "x\n"},
                {"\ntouch /tmp/m", ""}, {"\rtouch /tmp/m", ""}}},
    };
    for (char c : std::string(";|&`$\\\n\r<>")) // each could start a second; a 1-byte reply
        servers[0].rows.insert(servers[0].rows.begin(),
            {"echo " + std::string(1, c) + "touch /tmp/m", Header("echo ") + "\n"});
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

// Long paths make the archive command outgrow any small fixed buffer. A command leaves the
// connection open, the archive closes it.
TEST(MorvRemote, FetchLogs)
{
    MorvServer srv;
    std::string dir = "tmp/" + std::string(120, 'd'), got = srv.scratch.file("got.tgz");
    std::string bulk = RunProgram({"head", "-c", "20000", "/dev/urandom"}).out; // stays as big
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
    ASSERT_TRUE(srv.Start(args));
    Client c{srv.Connect()};
    bool closed = false;
    ASSERT_TRUE(SendText(c.fd, "echo one")
        && Read(c.fd, Header("echo one").size() + 4) == Header("echo one") + "one\n");
    ASSERT_TRUE(SendText(c.fd, "FETCHLOGS please"));
    WriteFile(got, Read(c.fd, SIZE_MAX, MORV_WAIT_MS, &closed));
    EXPECT_TRUE(closed && !FileExists(srv.tmp_dir + "/morvlog.tgz"));
    for (const std::string &name : want)
        EXPECT_TRUE(RunProgram({"tar", "xzOf", got, dir + "/" + name}).out == name + bulk) << name;
}

} // namespace
