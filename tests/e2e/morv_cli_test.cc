// morv's command line, start-up and client mode, against the real program.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_util.h"
#include "morv_harness.h"

namespace {

const std::string USAGE =
    "As server, send anything received on unix socket /var/run/morv.sock to tcp clients.\n"
    "Usage: morv [-s [[-b buffer_size] [-v] [-p port_listen]] [-m max_file] "
    "[-e|E 'commands to execute before dump'] [-c commands_list]"
    "[-a file_to_dump_1 [-a file_to_dump_2...] -o|O dump_file_1 [ -o|O dump_file_2 ...]]]\n"
    "\t-s as server\n"
    "\t-b buffer size in K. default is 8\n"
    "\t-v \n"
    "\t-m maximum log file count. default is 20 \n"
    "\t-a file to be added to dump-out\n"
    "\t-o dump_file_x... path of output file, in prefered sequence\n"
    "\t-O same -o, but will overwrite old file\n"
    "\t-c comma seperated allowed commands list\n"
    "\n"
    "As client, send any input from stdin to /var/run/morv.cock\n";

// A datagram socket of the test at dir/morv.sock: the server's path for
// a client that runs with dir on /run.
int bindLogSocket(const std::string &dir)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s/morv.sock", dir.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << a.sun_path;
    return fd;
}

RunResult runClient(const std::string &run_dir, const std::string &input,
                    const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c",
                                     "mount --bind \"$0\" /run && exec \"$@\"", run_dir,
                                     MorvProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, input, "", 60);
}

TEST(MorvCli, UsageText)
{
    // getopt's complaint: glibc's text or musl's.
    const std::tuple<std::vector<std::string>, const char *, const char *> cases[] = {
        {{"-h"}, "", ""}, {{"-?"}, "", ""}, {{"-h", "-s"}, "", ""},
        {{"-x"}, "invalid option -- 'x'", "unrecognized option: x"},
        {{"-p"}, "option requires an argument -- 'p'", "option requires an argument: p"},
    };
    for (const auto &[args, err, musl_err] : cases) {
        SCOPED_TRACE(args[0]);
        std::vector<std::string> argv = {BuiltProgram("morv")};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = RunProgram(argv, "", "", 30);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, USAGE);
        EXPECT_TRUE(r.err.find(err) != std::string::npos ||
                    r.err.find(musl_err) != std::string::npos) << r.err;
    }
}

TEST(MorvCli, ClientSendsOneDatagramPerLinePiece)
{
    const std::pair<std::string, std::vector<size_t>> cases[] = {
        {std::string(5000, 'x') + "\n", {2047, 2047, 907}},
        {std::string(2047, 'y') + "\n", {2047, 1}},
        {"first\n\nabc", {6, 1, 3}},
        {std::string("a\0b\n", 4), {4}}, // a NUL byte does not cut off the rest of its line
        {"", {}},
    };
    for (const auto &[input, want] : cases) {
        SCOPED_TRACE(input.size());
        ScratchDir run;
        int fd = bindLogSocket(run.path);
        RunResult r = runClient(run.path, input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        std::vector<size_t> sizes;
        std::string joined;
        char buf[8192];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0; joined.append(buf, n))
            sizes.push_back(n);
        EXPECT_EQ(sizes, want);
        EXPECT_EQ(joined, input);
        close(fd);
    }
}

// No socket file, or one that no process holds. -B and -b without -s:
// client mode, which does not detach.
TEST(MorvCli, ClientWithoutServer)
{
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale);
        ScratchDir run;
        if (stale)
            close(bindLogSocket(run.path));
        RunResult r = runClient(run.path, "lost line\n", {"-B", "-b", "16"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("morv: connect to /var/run/morv.sock: ") +
                             (stale ? "Connection refused\n" : "No such file or directory\n"));
    }
}

TEST(MorvCli, BannerPortAndClientModeFeedingTheServer)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start()) << srv.Err();
    std::regex want("morv\\. build at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\nlisten on port " +
                    std::to_string(srv.port) + "\\.\n");
    EXPECT_TRUE(std::regex_match(srv.Out(), want)) << srv.Out();
    EXPECT_EQ(srv.Err(), "");
    // Client mode, run where the server's socket is, feeds it.
    std::string lines = "boot: ok\n" + std::string(3000, 'z') + "\nlast\n";
    RunResult r = srv.RunInside({MorvProgram()}, lines);
    EXPECT_EQ(r.status, 0) << r.err;
    int c = srv.ConnectClient();
    ASSERT_TRUE(SendText(c, "act"));
    EXPECT_EQ(ReadExactly(c, lines.size()), lines); // history or live, in order
    close(c);
}

// With -v the echo shows when the server has taken all the text; a client
// that then sends "act" gets the newest kept bytes of it, and after them
// only the live stream (probes, sent until one comes).
TEST(MorvCli, BufferSizeOption)
{
    const std::pair<std::vector<std::string>, size_t> cases[] = {
        {{"-v"}, 8192}, {{"-v", "-b", "1", "-b", "16"}, 16384}, {{"-v", "-b", "0"}, 0},
        {{"-v", "-b", "-3"}, 0}, {{"-v", "-b", "4194304"}, 0}, // 4 GiB overflows 32 bits
    };
    std::string text;
    for (int i = 0; text.size() < 20000; i++)
        text += "log line " + std::to_string(i) + "\n";
    for (const auto &[args, kept] : cases) {
        SCOPED_TRACE(args.back());
        MorvServer srv;
        ASSERT_TRUE(srv.Start(args)) << srv.Err();
        for (size_t i = 0; i < text.size(); i += 1000)
            ASSERT_TRUE(srv.SendDatagram(text.substr(i, 1000)));
        ASSERT_TRUE(srv.WaitForOut(text.substr(text.size() - 30)));
        int c = srv.ConnectClient();
        ASSERT_TRUE(SendText(c, "act"));
        EXPECT_EQ(ReadExactly(c, kept), text.substr(text.size() - kept));
        std::string rest;
        WaitUntil([&] {
            srv.SendDatagram("sync\n");
            return !(rest += ReadFor(c, 100)).empty();
        });
        EXPECT_EQ(rest.substr(0, 5), "sync\n");
        EXPECT_EQ(rest.find_first_not_of("sync\n"), std::string::npos) << rest;
        close(c);
    }
}

// The pid of the detached morv server on port; 0 if none runs. Its command
// line may start with an emulator's words.
pid_t findServer(int port)
{
    std::string cmd = " -s -B -p " + std::to_string(port) + "$";
    return atoi(RunProgram({"pgrep", "-f", cmd}).out.c_str());
}

// Kills what find names when the test ends, however it ends.
struct KillOnExit {
    std::function<pid_t()> find;
    ~KillOnExit()
    {
        if (pid_t pid = find(); pid > 0)
            kill(pid, SIGKILL);
    }
};

TEST(MorvCli, DetachedServer)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-B"}, "", false));
    EXPECT_EQ(srv.WaitExit(), 0); // the starting process leaves at once
    ASSERT_TRUE(srv.WaitForOut("listen on port " + std::to_string(srv.port) + ".\n"));
    KillOnExit guard{[&] { return findServer(srv.port); }};
    pid_t pid = -1;
    ASSERT_TRUE(WaitUntil([&] { return (pid = findServer(srv.port)) > 0; }));
    std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd", ec).string(), "/");
    EXPECT_NE(ReadFile(proc + "/status").find("\nUmask:\t0000\n"), std::string::npos);
    EXPECT_NE(getsid(pid), getsid(0)); // a session of its own
    EXPECT_NE(getsid(pid), pid);       // but not its leader: no terminal again

    ASSERT_TRUE(srv.WaitForSocket());
    ASSERT_TRUE(srv.SendDatagram("still serving\n"));
    int c = srv.ConnectClient();
    SendText(c, "act");
    EXPECT_EQ(ReadExactly(c, 14), "still serving\n");
    close(c);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return findServer(srv.port) == 0; }));
}

TEST(MorvCli, SecondServerOnBusyPort)
{
    MorvServer first;
    ASSERT_TRUE(first.Start()) << first.Err();
    struct stat before, after;
    ASSERT_EQ(stat(first.socket_path.c_str(), &before), 0);

    MorvServer second; // shares the first one's /run and port
    second.port = first.port;
    second.run_dir = first.run_dir;
    second.socket_path = first.socket_path;
    ASSERT_TRUE(second.Start({}, "", false));
    EXPECT_EQ(second.WaitExit(), 255);
    const std::string err = second.Err(); // glibc's text or musl's
    EXPECT_TRUE(err == "bind: Address already in use\n" || err == "bind: Address in use\n") << err;
    EXPECT_EQ(second.Out().find("listen on port"), std::string::npos);

    ASSERT_EQ(stat(first.socket_path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    // The path leads to the second server's socket, which is gone; the
    // first server still serves TCP.
    EXPECT_FALSE(SendDatagramTo(first.socket_path, "lost\n", 200));
    EXPECT_EQ(first.WaitExit(100), -1);
    int c = first.ConnectClient();
    SendText(c, "getver");
    EXPECT_EQ(ReadExactly(c, 13), "morv v0.1[0]\n");
    close(c);
}

TEST(MorvCli, LogSocketCannotBeBound)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({}, "mount -o remount,bind,ro /run", false));
    EXPECT_EQ(srv.WaitExit(), 1);
    EXPECT_EQ(srv.Err(), "morv: bind to /var/run/morv.sock: Read-only file system\n");
    EXPECT_EQ(srv.Out().rfind("morv. build at ", 0), 0u);
    EXPECT_EQ(srv.Out().find("listen on port"), std::string::npos);
}

// A command the server runs for a dump leaves a process behind; it must
// not hold the relay's sockets, or a restarted relay could not bind.
TEST(MorvCli, CommandsRunByTheServerDoNotInheritItsSockets)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-o", "/tmp/log", "-e",
                           "sleep 60 </dev/null >/dev/null 2>&1 & echo $! >/tmp/bg.pid"}))
        << srv.Err();
    ASSERT_TRUE(srv.Signal(SIGUSR1));
    pid_t bg = 0;
    KillOnExit guard{[&] { return bg; }};
    std::string pid_file = srv.tmp_dir + "/bg.pid";
    ASSERT_TRUE(WaitUntil([&] { return (bg = atoi(ReadFile(pid_file).c_str())) > 0; }));
    int sockets = 0;
    std::error_code ec;
    std::string fd_dir = "/proc/" + std::to_string(bg) + "/fd";
    for (const auto &e : std::filesystem::directory_iterator(fd_dir))
        sockets += std::filesystem::read_symlink(e.path(), ec).string().rfind("socket:", 0) == 0;
    EXPECT_EQ(sockets, 0);

    EXPECT_EQ(srv.Stop(), 128 + SIGTERM); // the port is free again once the server is gone
    MorvServer next;
    next.port = srv.port;
    EXPECT_TRUE(next.Start()) << next.Err();
}

} // namespace
