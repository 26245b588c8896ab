// morv's command line, start-up and client mode, against the real program.
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
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

// A datagram socket of the test at SCRATCH/run/morv.sock, which is the
// server's path for a client run with that directory on /run.
struct FakeLogServer {
    ScratchDir scratch;
    std::string run_dir = scratch.file("run");
    int fd = -1;

    FakeLogServer() { mkdir(run_dir.c_str(), 0755); }
    ~FakeLogServer() { Close(); }
    void Bind()
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = run_dir + "/morv.sock";
        ASSERT_LT(path.size(), sizeof a.sun_path);
        strcpy(a.sun_path, path.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    }
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // Runs morv ARGS (client mode) with this run directory on /run.
    RunResult Client(const std::vector<std::string> &args, const std::string &input)
    {
        std::vector<std::string> argv = {"unshare", "-m", "sh", "-c",
                                         "mount --bind \"$0\" /run && exec \"$@\"", run_dir,
                                         BuiltProgram("morv")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, input, "", 60);
    }
    // The datagrams queued so far, in order.
    std::vector<std::string> Datagrams()
    {
        std::vector<std::string> got;
        char buf[8192];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            got.emplace_back(buf, n);
        return got;
    }
};

TEST(MorvCli, UsageText)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        const char *stderr_part;
    };
    const Case cases[] = {
        {"-h", {"-h"}, ""},
        {"-?", {"-?"}, ""},
        {"unknown option", {"-x"}, "invalid option -- 'x'"},
        {"-p without its value", {"-p"}, "option requires an argument -- 'p'"},
        {"usage before -s is acted on", {"-h", "-s"}, ""},
        {"after other options", {"-s", "-b", "16", "-o", "/nonexistent/x", "-h"}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {BuiltProgram("morv")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = RunProgram(argv, "", "", 30);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, USAGE);
        EXPECT_NE(r.err.find(c.stderr_part), std::string::npos) << r.err;
    }
}

TEST(MorvCli, ClientSendsOneDatagramPerLinePiece)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string input;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {"line of 5000 characters", {}, std::string(5000, 'x') + "\n", {2047, 2047, 907}},
        {"two lines", {}, "first\nsecond line\n", {6, 12}},
        {"no newline at the end", {}, "abc\nxyz", {4, 3}},
        {"line of exactly 2047 bytes with newline", {}, std::string(2047, 'y') + "\n", {2047, 1}},
        {"empty lines", {}, "\n\n", {1, 1}},
        {"NUL bytes are carried", {}, std::string("a\0b\n", 4), {4}},
        {"-B without -s is client mode", {"-B"}, "detached?\n", {10}},
        {"-b without -s is client mode", {"-b", "16", "-v"}, "x\n", {2}},
        {"empty input", {}, "", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogServer srv;
        srv.Bind();
        RunResult r = srv.Client(c.args, c.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        std::vector<std::string> got = srv.Datagrams();
        std::vector<size_t> sizes;
        std::string joined;
        for (const std::string &d : got) {
            sizes.push_back(d.size());
            joined += d;
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(joined, c.input);
    }
}

TEST(MorvCli, ClientWithoutServer)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        bool stale_socket; // a socket file that no process holds
        const char *reason;
    };
    const Case cases[] = {
        {"no socket file", {}, false, "No such file or directory"},
        {"nobody holds the socket", {}, true, "Connection refused"},
        {"-B without -s does not detach", {"-B"}, false, "No such file or directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogServer srv;
        if (c.stale_socket) {
            srv.Bind();
            srv.Close();
        }
        RunResult r = srv.Client(c.args, "lost line\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("morv: connect to /var/run/morv.sock: ") + c.reason + "\n");
    }
}

TEST(MorvCli, ClientModeFeedsARunningServer)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start()) << srv.Err();
    std::string lines = "boot: ok\n" + std::string(3000, 'z') + "\nlast\n";
    RunResult r = srv.RunInside({BuiltProgram("morv")}, lines);
    EXPECT_EQ(r.status, 0) << r.err;
    int c = srv.ConnectClient();
    ASSERT_GE(c, 0);
    ASSERT_TRUE(SendText(c, "act"));
    EXPECT_EQ(ReadExactly(c, lines.size()), lines); // history or live, in order
    close(c);
}

TEST(MorvCli, ServerPrintsBannerAndPort)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start()) << srv.Err();
    std::regex want("morv\\. build at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\nlisten on port " +
                    std::to_string(srv.port) + "\\.\n");
    EXPECT_TRUE(std::regex_match(srv.Out(), want)) << srv.Out();
    EXPECT_EQ(srv.Err(), "");
    struct stat st;
    ASSERT_EQ(stat(srv.socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

// Sends probe datagrams until the client (which has sent "act") receives
// something, so it is surely active; returns what it received.
std::string probeUntilActive(MorvServer &srv, int fd)
{
    std::string got;
    WaitUntil([&] {
        srv.SendDatagram("sync\n");
        got += ReadFor(fd, 100);
        return !got.empty();
    });
    return got;
}

// Reads until what came ends with tail.
bool readUntilEndsWith(int fd, const std::string &tail)
{
    std::string got;
    return WaitUntil([&] {
        got += ReadFor(fd, 100);
        return got.size() >= tail.size() && got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
    });
}

// A first client takes text live, so the server has taken it all; a second
// client must then get exactly the newest kept bytes of it as history.
void expectHistory(MorvServer &srv, const std::string &text, size_t kept)
{
    int live = srv.ConnectClient();
    ASSERT_GE(live, 0);
    SendText(live, "act");
    probeUntilActive(srv, live);
    for (size_t i = 0; i < text.size(); i += 1000)
        ASSERT_TRUE(srv.SendDatagram(text.substr(i, 1000)));
    EXPECT_TRUE(readUntilEndsWith(live, text));

    int late = srv.ConnectClient();
    ASSERT_GE(late, 0);
    SendText(late, "act");
    if (kept > 0) {
        EXPECT_EQ(ReadExactly(late, kept), text.substr(text.size() - kept));
        EXPECT_EQ(ReadFor(late, 300), "");
    } else {
        // Nothing is kept: all that comes is live probes.
        std::string got = probeUntilActive(srv, late);
        EXPECT_EQ(got.substr(0, 5), "sync\n");
        EXPECT_EQ(got.find_first_not_of("sync\n"), std::string::npos) << got;
    }
    close(live);
    close(late);
}

TEST(MorvCli, BufferSizeOption)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        size_t kept;
    };
    const Case cases[] = {
        {"default 8 KiB", {}, 8192},
        {"-b 16", {"-b", "16"}, 16384},
        {"later -b wins", {"-b", "16", "-b", "1"}, 1024},
        {"-b 0", {"-b", "0"}, 0},
        {"-b negative", {"-b", "-3"}, 0},
        {"-b too large for 32 bits", {"-b", "4194304"}, 0},
        {"-b not a number", {"-b", "many"}, 0},
    };
    std::string text;
    for (int i = 0; text.size() < 20000; i++)
        text += "log line " + std::to_string(i) + "\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MorvServer srv;
        ASSERT_TRUE(srv.Start(c.args)) << srv.Err();
        expectHistory(srv, text, c.kept);
    }
}

// The pid of a morv server on port, found in /proc; -1 if none runs.
pid_t findServer(int port)
{
    std::string want = BuiltProgram("morv") + std::string("\0-s\0-B\0-p\0", 10) +
                       std::to_string(port) + std::string("\0", 1);
    DIR *d = opendir("/proc");
    pid_t found = -1;
    while (dirent *e = d ? readdir(d) : nullptr) {
        pid_t pid = atoi(e->d_name);
        if (pid > 0 && ReadFile("/proc/" + std::to_string(pid) + "/cmdline") == want) {
            std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
            if (stat.find(") Z") == std::string::npos)
                found = pid;
        }
    }
    if (d)
        closedir(d);
    return found;
}

struct KillOnExit {
    pid_t pid = -1;
    ~KillOnExit()
    {
        if (pid > 0)
            kill(pid, SIGKILL);
    }
};

std::string statusField(pid_t pid, const std::string &name)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return "";
}

TEST(MorvCli, DetachedServer)
{
    MorvServer srv;
    ASSERT_TRUE(srv.Start({"-B"}, "", false));
    EXPECT_EQ(srv.WaitExit(), 0); // the starting process leaves at once
    ASSERT_TRUE(srv.WaitForOut("listen on port " + std::to_string(srv.port) + ".\n"));
    // Whatever fails below, no detached server is left running.
    struct StopDetached {
        int port;
        ~StopDetached()
        {
            if (pid_t left = findServer(port); left > 0)
                kill(left, SIGKILL);
        }
    } guard{srv.port};
    pid_t pid = -1;
    ASSERT_TRUE(WaitUntil([&] { return (pid = findServer(srv.port)) > 0; }));

    char cwd[PATH_MAX] = "";
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1);
    EXPECT_EQ(std::string(cwd, n > 0 ? n : 0), "/");
    EXPECT_EQ(statusField(pid, "Umask"), "\t0000");
    EXPECT_NE(getsid(pid), getsid(0));  // a session of its own
    EXPECT_NE(getsid(pid), pid);        // but not its leader: no terminal again

    ASSERT_TRUE(srv.WaitForSocket());
    ASSERT_TRUE(srv.SendDatagram("still serving\n"));
    int c = srv.ConnectClient();
    ASSERT_GE(c, 0);
    SendText(c, "act");
    EXPECT_EQ(ReadExactly(c, 14), "still serving\n");
    close(c);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return findServer(srv.port) < 0; }));
}

TEST(MorvCli, SecondServerOnBusyPort)
{
    MorvServer first;
    ASSERT_TRUE(first.Start()) << first.Err();
    struct stat before;
    ASSERT_EQ(stat(first.socket_path.c_str(), &before), 0);

    MorvServer second;
    second.port = first.port;
    // Sharing the first server's /run, the second one takes over its path.
    second.run_dir = first.run_dir;
    second.socket_path = first.socket_path;
    ASSERT_TRUE(second.Start({}, "", false));
    EXPECT_EQ(second.WaitExit(), 255);
    EXPECT_EQ(second.Err(), "bind: Address already in use\n");
    EXPECT_EQ(second.Out().find("listen on port"), std::string::npos);

    struct stat after;
    ASSERT_EQ(stat(first.socket_path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    // The path now leads to the second server's socket, which is gone.
    EXPECT_FALSE(SendDatagramTo(first.socket_path, "lost\n", 200));
    // The first server still serves TCP.
    EXPECT_EQ(first.WaitExit(100), -1);
    int c = first.ConnectClient();
    ASSERT_GE(c, 0);
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
    std::string pid_file = srv.tmp_dir + "/bg.pid";
    KillOnExit guard;
    ASSERT_TRUE(WaitUntil([&] { return (guard.pid = atoi(ReadFile(pid_file).c_str())) > 0; }));
    pid_t bg = guard.pid;

    std::string fd_dir = "/proc/" + std::to_string(bg) + "/fd";
    DIR *d = opendir(fd_dir.c_str());
    ASSERT_NE(d, nullptr);
    int sockets = 0;
    while (dirent *e = readdir(d)) {
        char target[256] = "";
        ssize_t n = readlink((fd_dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n).rfind("socket:", 0) == 0)
            sockets++;
    }
    closedir(d);
    EXPECT_EQ(sockets, 0);

    // The port is free again once the server is gone.
    EXPECT_EQ(srv.Stop(), 128 + SIGTERM);
    MorvServer next;
    next.port = srv.port;
    EXPECT_TRUE(next.Start()) << next.Err();
}

} // namespace
