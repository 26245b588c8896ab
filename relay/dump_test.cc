#include "dump.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "e2e_util.h"
#include "options.h"
#include "settings.h"

static const std::string LOG_HEADER
    = "\n---------------------------- Dump of log -----------------------------\n";

// Sets morv's settings from the blank-separated words of line (they stay
// valid until the next call) and shows what was kept, or "usage".
static std::string Configure(const std::string &line)
{
    static std::string words;
    words = line;
    n_dump_path = n_copy_file = n_dump_cmd = optind = opterr = 0; // optind 0: a full getopt reset
    acmd_list = nullptr;
    std::vector<char *> argv = {(char *)"morv"};
    for (char *w = strtok(words.data(), " "); w; w = strtok(nullptr, " "))
        argv.push_back(w);
    RelayOptions o;
    if (RelayParseOptions((int)argv.size(), argv.data(), &o) != 0)
        return n_dump_path ? "usage, but a path was kept" : "usage";
    char s[80];
    snprintf(s, sizeof s, "s%d B%d b%d p%d m%d v%d a%d e%d", o.server, o.detach, o.buffer_size,
        o.port_listen, o.max_file, o.verbose, n_copy_file, n_dump_cmd);
    std::string r = s;
    for (int i = 0; i < n_dump_path; i++)
        r += (dump_path_flag[i] ? " -O " : " -o ") + std::string(dump_out_paths[i]);
    return acmd_list ? r + " -c " + acmd_list : r;
}

// Requests: N none, S snapshot, C continuous, X stop; MARK + 1/0 makes/removes the marker.
// States: ON is dump_mode DUMP_CONT, OPEN adds an open continuous file.
enum { N = DUMP_NOREQ, X = DUMP_STOP, S = DUMP_SNAP, C = DUMP_CONT };
enum { OFF, ON, OPEN = 3, MARK = 10 };

// Options kept and signals' requests, then dump cases: files made in a scratch folder (@), then
// requests run with the state carried over: the file each writes (new: mode 0666, a marker 0644,
// under mask 0) and its bytes, the names afterwards, the state or the marker's result. With
// standard input closed a new file would get descriptor 0, the loop's "no file".
TEST(Relay, OptionsDumpFilesAndMarker)
{
    const std::string D = "s0 B0 b8 p3201 m20 v0 a0 e0"; // the defaults
    const std::pair<std::string, std::string> options[] = {
        {"-s -B -v -b 16 -p 4000 -m 3 -p 1 -m y", "s1 B1 b16 p1 m0 v1 a0 e0"},
        {"-o /a -O /b -o /c -o /d -O /e", D + " -o /a -O /b -o /c -o /d"},
        {"-a 1 -a 2 -a 3 -a 4 -a 5 -a 6 -a 7 -a 8 -a 9 -a 10 -a 11 -e x -E y -e 3 -E 4 -e 5 -E 6"
         " -e 7 -E 8 -e 9 -E 10 -e 11", "s0 B0 b8 p3201 m20 v0 a10 e10"},
        {"-c ls,df -c free", D + " -c free"}, {"-s -h -o /late", "usage"}, {"-x", "usage"},
        {"-s -p", "usage"}};
    for (const auto &[line, want] : options)
        EXPECT_EQ(Configure(line), want) << line;
    EXPECT_EXIT(printUsage(), testing::ExitedWithCode(1), "");
    for (auto [sig, request] : {std::pair{SIGUSR1, S}, {SIGUSR2, C}, {SIGRTMIN, X}, {SIGHUP, N}}) {
        sig_handler(sig);
        EXPECT_EQ(TakeDumpRequest() * 10 + dump_out, request * 10 + N) << sig; // taken once
    }
    struct Req { int request; std::string wrote, after; int state; };
    const std::string lo = "-o @log", l01 = "log.0 log.1", l0c = "log.0 log.cont.0";
    const std::string all = "log.0 log.0/keep log.1 log.2 log.cont.0 log.cont.0/keep log.cont.1"
                            " log.cont.2";
    const char *stuck = "for b in log log.cont; do mkdir $b.0 && echo >$b.0/keep && echo >$b.1"
                        " && echo >$b.2; done";
    const std::string longcmd = "echo\ttwo\t#" + std::string(5000, 'c');
    const struct {
        int max_file;
        std::string args;
        const char *setup;
        std::vector<Req> reqs;
        int start = N;
        bool no_stdin = false;
        std::string head = "";
    } cases[] = {
        {20, lo, "", {{N, "", "", OFF}, {X, "", "", OFF}, {S, "log.0", "log.0", OFF},
            {C, "log.cont.0", l0c, OPEN}, {N, "", l0c, OPEN}, {C, "", l0c, OPEN},
            {S, "log.1", "log.0 log.1 log.cont.0", OPEN}, {X, "", "log.0 log.1 log.cont.0", OFF}}},
        {20, lo, "", {{S, "log.0", "log.0", ON}, {C, "log.cont.0", l0c, OPEN}}, C},
        {20, lo, "", {{X, "", "", OFF}, {S, "log.0", "log.0", OFF}}, C},
        {-5, lo, "", {{S, "log.0", "log.0", OFF}, {S, "log.0", "log.0", OFF}}}, // as few as 1
        {3, lo, "echo >log.1", {{S, "log.0", "log.0", OFF}, {S, "log.1", l01, OFF},
            {S, "log.2", l01 + " log.2", OFF}, {S, "log.0", "log.0 log.2", OFF},
            {S, "log.1", l01, OFF}}},
        {20, "-O @log", "printf %5000s >log.cont",
            {{S, "log", "log log.cont", OFF}, {C, "log.cont", "log log.cont", OPEN}}},
        {3, "-o @none/log -o @log -o @other", stuck, {{S, "other.0", all + " other.0", OFF}}},
        {3, lo, stuck, {{S, "", all, OFF}, {C, "", all, ON}}}, // log.0, log.cont.0 stay
        {20, "", "", {{S, "", "", OFF}, {C, "", "", ON}, {MARK + 1, "", "", 0}, {MARK, "", "", 0}}},
        // links are not followed, a device or a FIFO takes nothing
        {20, "-O @over -O @sub/fifo -O /dev/null -O @plain",
            "echo root >v; ln -s v over; mkdir sub; mkfifo sub/fifo",
            {{S, "plain", "over plain sub sub/fifo v", OFF}}},
        {20, "-o @a -o @b -o @c -o @d", "mkdir b c d; ln -s ../made b/DUMPLOG",
            {{MARK + 1, "c/DUMPLOG", "b b/DUMPLOG c c/DUMPLOG d", 1},
                {MARK, "", "b b/DUMPLOG c d", 1}, {MARK, "", "b b/DUMPLOG c d", 0}}, N, true},
        {20, "-a @missing -a @first -E true -e " + longcmd + " " + lo, "echo alpha >first",
            {{C, "log.cont.0", "first log.cont.0", OPEN}}, N, true,
            "\n---------------------------- Dump of @first ---------------------------\nalpha\n"
            "\n--------------------- dump of true ----------------------------\n"
            "\n--------------------- dump of " + longcmd + " ----------------------------\ntwo\n"}};
    for (const auto &c : cases) {
        ScratchDir d;
        ASSERT_EQ(RunProgram({"sh", "-c", c.setup}, "", d.path).status, 0) << c.setup;
        ASSERT_NE(Configure(std::regex_replace(c.args, std::regex("@"), d.path + "/")), "usage");
        unsigned char mem[3] = {'0', 'r', 'q'};
        LoopBuffer lb = {mem, 3, 1, 3}; // wrapped: r q | mark
        int mode = c.start;
        int cont = -1;
        int stdin_copy = dup(0);
        for (const Req &r : c.reqs) {
            SCOPED_TRACE(c.args.substr(0, 40) + " " + c.setup + ", then " + r.after);
            std::string wrote = r.wrote.empty() ? "" : d.file(r.wrote);
            bool made = !wrote.empty() && !FileExists(wrote);
            int was_open = cont;
            mem[0]++; // a new mark for each request
            mode_t mask = umask(0);
            testing::internal::CaptureStdout();
            if (c.no_stdin) // after the capture has its descriptors
                close(0);
            bool marker = r.request >= MARK;
            int got = marker ? set_autodump(r.request - MARK) : 0;
            if (!marker)
                DumpStep(r.request, &lb, c.max_file, &mode, &cont);
            EXPECT_EQ(fcntl(0, F_GETFD) == -1, c.no_stdin) << "descriptor 0 left open";
            dup2(stdin_copy, 0);
            umask(mask);
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(out, !wrote.empty() && !marker ? "dump log to " + wrote + "...\n" : "");
            if (!wrote.empty())
                EXPECT_EQ(ReadFile(wrote), marker ? "" : std::regex_replace(c.head,
                    std::regex("@"), d.path + "/") + LOG_HEADER + "rq" + (char)mem[0]);
            const char *list = "echo $(find . -mindepth 1 | cut -c3- | LC_ALL=C sort)";
            EXPECT_EQ(RunProgram({"sh", "-c", list}, "", d.path).out, r.after + "\n");
            EXPECT_EQ(marker ? got : (mode == C) | (cont > 0) << 1, r.state);
            if (cont > 0 || was_open > 0) // closed when done, else kept from later dumps' commands
                EXPECT_EQ(fcntl(cont > 0 ? cont : was_open, F_GETFD), cont > 0 ? FD_CLOEXEC : -1);
            struct stat st = {};
            EXPECT_TRUE(!made || (stat(wrote.c_str(), &st) == 0
                                     && (st.st_mode & 0777) == (marker ? 0644u : 0666u)));
        }
        close(cont);
        close(stdin_copy);
    }
}
