// morv's usage, detached start, client mode; the client functions through morv_example.
#include <regex>

#include <gtest/gtest.h>

#include "morv_harness.h"

namespace {

TEST(MorvCli, UsageAndStarts)
{
    const std::string usage
        = "As server, send anything received on unix socket /var/run/morv.sock to tcp clients.\n"
          "Usage: morv [-s [[-b buffer_size] [-v] [-p port_listen]] [-m max_file] [-e|E 'commands "
          "to execute before dump'] [-c commands_list][-a file_to_dump_1 [-a file_to_dump_2...] "
          "-o|O dump_file_1 [ -o|O dump_file_2 ...]]]\n\t-s as server\n\t-b buffer size in K. "
          "default is 8\n\t-v \n\t-m maximum log file count. default is 20 \n\t-a file to be added "
          "to dump-out\n\t-o dump_file_x... path of output file, in prefered sequence\n\t-O same "
          "-o, but will overwrite old file\n\t-c comma seperated allowed commands list\n\nAs "
          "client, send any input from stdin to /var/run/morv.cock\n";
    for (const char *args : {"-h", "'-?'", "-h -s", "-x", "-p"}) {
        RunResult r = RunProgram({"sh", "-c", BuiltProgram("morv") + " " + args});
        EXPECT_TRUE(r.status == 1 && r.out == usage) << args << r.out;
    }
    MorvServer first;
    ASSERT_TRUE(first.Start({"-B"}, "", false));
    struct Guard {
        pid_t pid = 0;
        ~Guard() { kill(pid > 0 ? pid : INT_MAX, SIGKILL); }
    } server;
    std::vector<std::string> pgrep
        = {"pgrep", "-f", " -s -B -p " + std::to_string(first.port) + "$"};
    ASSERT_TRUE(first.WaitExit() == 0
        && WaitUntil([&] { return (server.pid = atoi(RunProgram(pgrep).out.c_str())) > 0; }));
    std::string banner = "morv\\. build at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                         "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n";
    std::string listen = "listen on port " + std::to_string(first.port) + ".\n";
    ASSERT_TRUE(first.WaitOut(listen));
    EXPECT_TRUE(std::regex_match(first.Out(), std::regex(banner + listen))) << first.Out();
    Client c{first.Connect()};
    EXPECT_TRUE(SendText(c.fd, "getver") && Read(c.fd, 13) == "morv v0.1[0]\n");
}

// An own path of 107 bytes fits. The service (options in the row) serves one connection.
TEST(RelayClient, MorvCliAndRsystem)
{
    MorvServer srv; // -b 0 keeps no history
    ASSERT_TRUE(srv.Start({"-b", "0"}));
    Client live{srv.Connect()};
    std::string fits = "/tmp/" + std::string(102, 'f'), big(3000, 'b');
    WriteFile(srv.tmp_dir + fits.substr(4), "stale");
    std::string example = BuiltProgram("morv_example");
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        // script, status, stdout, datagrams
        {example + " " + big + " end", 0, "", big.substr(0, 2047) + "end\n"},
        {example + " -o " + fits + " mine", 0, "", "mine\n"},
        {example + " 'closed out' >&-", 0, "", "closed out\n"},
        {"rm /run/morv.sock && " + example + " -o " + fits + " gone", 1, "gone\n", ""}};
    ASSERT_TRUE(srv.SendDatagram("old\n") && srv.Word(live, "act"));
    // morv's client mode: lines in pieces the relay takes whole, a NUL byte inside kept
    std::string text = std::string(5000, 'x') + "\nfirst\n\n" + std::string("a\0b\n", 4) + "abc";
    ASSERT_EQ(srv.RunInside({MorvProgram()}, text).status, 0);
    EXPECT_EQ(Read(live.fd, text.size()), text);
    for (const auto &[script, status, out, sent] : cases) {
        RunResult r = srv.RunInside({"sh", "-c", script});
        EXPECT_TRUE(r.status == status && r.out == out) << script << r.err;
        EXPECT_EQ(sent.empty() ? Read(live.fd, SIZE_MAX, 200) : Read(live.fd, sent.size()), sent);
    }
    struct stat st;
    EXPECT_TRUE(stat((srv.tmp_dir + fits.substr(4)).c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    RunResult lost = srv.RunInside({MorvProgram()}, "lost\n");
    EXPECT_TRUE(lost.status == 1
        && lost.err == "morv: connect to /var/run/morv.sock: No such file or directory\n");
    EXPECT_EQ(srv.RunInside({example, "gone"}).err,
        "connect to /var/run/morv.sock: No such file or directory\n"
        "morv_example: morv_cli gave -1: No such file or directory\n");
    const std::tuple<std::string, const char *, std::string> calls[]
        = {{"", "echo remote; exit 3", "remote\nRSYSTEM: 768, errno untouched\n"},
            {"-r -1 -e 2", "echo no", "RSYSTEM: -1, errno 2\n"},
            {"-b 4", "echo twice", "twice\ntwice\nRSYSTEM: 0, errno "}}; // ran there and here
    for (const auto &[service, cmd, out] : calls) {
        std::string script = BuiltProgram("systemcall_service") + " -d -n 1 " + service + " && ";
        RunResult r = srv.RunInside({"sh", "-c", script + example + " -r '" + cmd + "'"});
        size_t size = out.back() == '\n' ? std::string::npos : out.size(); // else errno follows
        EXPECT_TRUE(r.status == 0 && r.out.substr(0, size) == out) << script << r.out;
        EXPECT_TRUE(WaitUntil([&] { return !FileExists(srv.tmp_dir + "/systemcall.sock"); }));
    }
    // The request is the command and its one NUL, nothing more.
    Client listener{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s/systemcall.sock", srv.tmp_dir.c_str());
    ASSERT_EQ(bind(listener.fd, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(listener.fd, 1), 0);
    std::string request;
    std::thread service([&] {
        Client c{accept(listener.fd, nullptr, nullptr)};
        request = Read(c.fd, 100, 500);
    });
    srv.RunInside({example, "-r", "exit 5"});
    service.join();
    EXPECT_EQ(request, std::string("exit 5\0", 7));
}

} // namespace
