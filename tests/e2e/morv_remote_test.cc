// Remote commands and the log fetch of the real relay: the allowed check,
// the cut, texts that try to smuggle in a second command, and the archive.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "morv_harness.h"

namespace {

std::string Header(const std::string &cmd)
{
    return "\n" + std::string(62, '=') + "\n[[[[" + cmd + "]]]\n";
}

// Sends text on a connection of its own, then the end of its input: what
// the relay sends until it closes (once the command has ended).
std::string Ask(const MorvServer &srv, const std::string &text)
{
    int fd = srv.ConnectClient();
    bool closed = false;
    std::string got;
    if (fd >= 0 && SendText(fd, text) && shutdown(fd, SHUT_WR) == 0)
        got = ReadUntilClosed(fd, &closed);
    close(fd);
    return closed ? got : "(not closed) " + got;
}

const std::vector<std::string> SERVERS[] = {
    {"-c", "pwd", "-c", "echo,touch,nosuchcmd,sprintf,printf"}, // the later list counts
    {"-c", ",echo"},
    {},
};

struct Case {
    int server;
    std::string text, reply;
};

// The relay runs in /tmp, which holds "note". No row may create /tmp/m
// but the last, which shows that the check would see it.
const Case CASES[] = {
    {0, "pwd", ""},
    {0, "echo a  b", Header("echo a  b") + "a b\n"},
    {0, "printf x", ""}, // its first occurrence lies inside sprintf
    {0, " echo x", ""},  // the empty first word is not at the list's start
    {0, "cat    note", Header("cat note") + "note\n"},
    {0, "cat note  ", Header("cat note  ") + "note\n"},
    {0, "cat \t\v ", ""},
    {0, "cat \t\n note", ""},
    {0, "cat\tnote", ""}, // not "cat ", so it needs the list
    {0, "ls note /nonexistent", Header("ls note /nonexistent") + "note\n"}, // stderr not sent
    {0, "nosuchcmd x", Header("nosuchcmd x")},
    {0, "ls note ; touch /tmp/m", Header("ls note ") + "note\n"},
    {0, "echo a\ntouch /tmp/m", Header("echo a") + "a\n"},
    {0, "echo a\rtouch /tmp/m", Header("echo a") + "a\n"},
    {0, "echo a > /tmp/m", Header("echo a ") + "a\n"},
    {0, "echo a >> /tmp/m", Header("echo a ") + "a\n"},
    {0, "cat note <> /tmp/m", Header("cat note ") + "note\n"},
    {0, "echo a|touch /tmp/m", Header("echo a") + "a\n"},
    {0, "echo a & touch /tmp/m", Header("echo a ") + "a\n"},
    {0, "echo `touch /tmp/m`", Header("echo ") + "\n"},
    {0, "echo $(touch /tmp/m)", Header("echo ") + "\n"},
    {0, "echo a \\\ntouch /tmp/m", Header("echo a ") + "a\n"},
    {1, " echo x", Header(" echo x") + "x\n"},
    {1, "echo x", Header("echo x") + "x\n"},
    {1, "\ntouch /tmp/m", ""}, // an empty first word, and nothing before the cut
    {1, "\rtouch /tmp/m", ""},
    {2, "echo x", ""},
    {2, "ls note", Header("ls note") + "note\n"},
    {0, "touch /tmp/m", Header("touch /tmp/m")},
};

// Every row under dash and again under bash as /bin/sh.
TEST(MorvRemote, AllowedCheckCutAndInjection)
{
    for (const char *shell : {"", "mount --bind /bin/bash /bin/sh && "}) {
        for (int s = 0; s < 3; s++) {
            SCOPED_TRACE(std::string(shell) + std::to_string(s));
            MorvServer srv;
            WriteFile(srv.tmp_dir + "/note", "note\n");
            ASSERT_TRUE(srv.Start(SERVERS[s], std::string(shell) + "cd /tmp"));
            for (const Case &c : CASES) {
                if (c.server != s)
                    continue;
                SCOPED_TRACE(testing::PrintToString(c.text));
                EXPECT_EQ(Ask(srv, c.text), c.reply);
                EXPECT_EQ(FileExists(srv.tmp_dir + "/m"), &c == &CASES[std::size(CASES) - 1]);
            }
            EXPECT_EQ(srv.Err().find("touch"), std::string::npos) << srv.Err();
        }
    }
}

// The first dump path has no files, the second (a long one) has two; ten
// long -a paths, one of them missing: the archive command outgrows any
// small fixed buffer. A command before leaves the connection open.
TEST(MorvRemote, FetchLogsSendsTheArchiveAndCloses)
{
    MorvServer srv;
    std::string dir = "tmp/" + std::string(120, 'd');
    ASSERT_EQ(RunProgram({"mkdir", "-p", srv.tmp_dir + "/a", srv.scratch.file(dir)}).status, 0);
    std::vector<std::string> args = {"-c", "echo", "-o", "/tmp/a/log", "-o", "/" + dir + "/log"};
    std::set<std::string> want = {dir + "/log.0", dir + "/log.cont.0"};
    for (const std::string &name : want)
        WriteFile(srv.scratch.file(name), name);
    for (int i = 0; i < 10; i++) {
        std::string name = dir + "/extra" + std::to_string(i);
        args.insert(args.end(), {"-a", "/" + name});
        if (i != 4) {
            WriteFile(srv.scratch.file(name), name);
            want.insert(name);
        }
    }
    ASSERT_TRUE(srv.Start(args));
    int fd = srv.ConnectClient();
    ASSERT_TRUE(SendText(fd, "echo one"));
    EXPECT_EQ(ReadExactly(fd, Header("echo one").size() + 4), Header("echo one") + "one\n");
    ASSERT_TRUE(SendText(fd, "FETCHLOGS please"));
    bool closed = false;
    WriteFile(srv.scratch.file("got.tgz"), ReadUntilClosed(fd, &closed));
    close(fd);
    EXPECT_TRUE(closed);
    std::string names;
    for (const std::string &name : want)
        names += name + "\n";
    EXPECT_EQ(RunProgram({"sh", "-c", "tar tzf \"$0\" | LC_ALL=C sort", srv.scratch.file("got.tgz")}).out, names);
    RunResult one = RunProgram({"tar", "xzOf", srv.scratch.file("got.tgz"), dir + "/log.cont.0"});
    EXPECT_EQ(one.out, dir + "/log.cont.0");
    EXPECT_FALSE(FileExists(srv.tmp_dir + "/morvlog.tgz"));

    MorvServer none; // no dump path, no -a file that exists: tar has nothing
    ASSERT_TRUE(none.Start({"-a", "/tmp/missing"}));
    fd = none.ConnectClient();
    ASSERT_TRUE(SendText(fd, "fetchlogs"));
    EXPECT_EQ(ReadUntilClosed(fd, &closed), "");
    EXPECT_TRUE(closed);
    close(fd);
}

} // namespace
