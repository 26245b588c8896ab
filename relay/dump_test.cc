#include "dump.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "options.h"
#include "settings.h"

static const std::string LOG_HEADER
    = "\n---------------------------- Dump of log -----------------------------\n";

static RelayOptions o;

// Parses line's blank-separated words into o and morv's settings; they stay valid until next time.
static int Configure(const std::string &line)
{
    static std::string words;
    words = line;
    n_dump_path = n_copy_file = n_dump_cmd = optind = opterr = 0; // optind 0: a full getopt reset
    std::vector<char *> argv = {(char *)"morv"};
    for (char *w = strtok(words.data(), " "); w; w = strtok(nullptr, " "))
        argv.push_back(w);
    return RelayParseOptions((int)argv.size(), argv.data(), &o);
}

// Requests (sent as signals): N none, S snapshot, C continuous, X stop; MARK + 1/0 makes/removes
// the marker. States: ON is dump_mode DUMP_CONT, OPEN adds an open continuous file.
enum { N = DUMP_NOREQ, X = DUMP_STOP, S = DUMP_SNAP, C = DUMP_CONT };
enum { OFF, ON, OPEN = 3, MARK = 10 };

// Options kept, then dump cases in a scratch folder: requests with the state carried over (the
// file each writes, 0666 or a marker 0644; the state or the marker's result), the names left.
TEST(Relay, OptionsDumpFilesAndMarker)
{
    // The later value wins, a word gives 0; the defaults; 4 paths, 10 files and 10 commands kept.
    const struct { const char *line; RelayOptions want; int counts; } options[] = {
        {"-s -B -v -b 16 -p 4000 -m 3 -p 1 -m y", {1, 1, 16, 1, 0, 1}, 0},
        {"-o/a -O/b -o/c -o/d -O/e -a1 -a2 -a3 -a4 -a5 -a6 -a7 -a8 -a9 -a10 -a11 -ex -Ey -e3 -E4"
         " -e5 -E6 -e7 -E8 -e9 -E10 -e11", {0, 0, 8, 3201, 20, 0}, 41010}};
    for (const auto &[line, want, counts] : options) // counts: paths, files, commands
        EXPECT_TRUE(Configure(line) == 0 && memcmp(&o, &want, sizeof o) == 0
            && n_dump_path * 10000 + n_copy_file * 100 + n_dump_cmd == counts) << line;
    EXPECT_EXIT(printUsage(), testing::ExitedWithCode(1), "");
    struct Req { int request; std::string wrote; int state; };
    const std::string longcmd = "echo\ttwo\t#" + std::string(5000, 'c');
    const struct {
        std::string args;
        const char *setup;
        std::vector<Req> reqs;
        std::string after;
        std::string head = "";
    } cases[] = {
        {"-o log", "", {{X, "", OFF}, {S, "log.0", OFF}, {C, "log.cont.0", OPEN}, {N, "", OPEN},
            {C, "", OPEN}, {S, "log.1", OPEN}, {X, "", OFF}}, "log.0 log.1 log.cont.0"},
        {"-m -5 -o log", "mkdir log.cont.0; touch log.cont.0/keep", {{C, "", ON}, // as few as 1
            {S, "log.0", ON}, {S, "log.0", ON}, {X, "", OFF}}, "log.0 log.cont.0 log.cont.0/keep"},
        {"-m 3 -o log", "touch log.1", {{S, "log.0", OFF}, {S, "log.1", OFF}, {S, "log.2", OFF},
            {S, "log.0", OFF}, {S, "log.1", OFF}}, "log.0 log.1"},
        {"-O log", "seq 99 >log.cont", {{S, "log", OFF}, {C, "log.cont", OPEN}}, "log log.cont"},
        {"-m 3 -o none/log -o log -o other", "mkdir log.0; touch log.0/keep log.1 log.2",
            {{S, "other.0", OFF}}, "log.0 log.0/keep log.1 log.2 other.0"},
        {"-O over -O sub/fifo -O /dev/null -O plain", "echo v >v; ln -s v over; mkdir sub; "
            "mkfifo sub/fifo", {{S, "plain", OFF}}, "over plain sub sub/fifo v"}, // links stay
        {"-o a -o b -o c -o d", "mkdir b c d; ln -s ../made b/DUMPLOG", {{MARK + 1, "c/DUMPLOG", 1},
            {MARK, "", 1}, {MARK, "", 0}}, "b b/DUMPLOG c d"},
        {"-a missing -a first -o log -e " + longcmd, "echo alpha >first",
            {{C, "log.cont.0", OPEN}}, "first log.cont.0",
            "\n---------------------------- Dump of first ---------------------------\nalpha\n"
            "\n--------------------- dump of " + longcmd + " ----------------------------\ntwo\n"}};
    const int signals[] = {SIGHUP, SIGRTMIN, SIGUSR1, SIGUSR2}; // by request + 1
    int stdin_copy = dup(0);
    umask(0); // the only test here: the mask and the folder are not restored
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.substr(0, 40) + ", " + c.setup);
        ScratchDir d;
        ASSERT_EQ(chdir(d.path.c_str()), 0);
        ASSERT_EQ(RunProgram({"sh", "-c", c.setup}).status, 0);
        ASSERT_EQ(Configure(c.args), 0);
        unsigned char mem[3] = {'0', 'r', 'q'};
        LoopBuffer lb = {mem, 3, 1, 3}; // wrapped: r q | mark
        int mode = N, cont = -1;
        for (const Req &r : c.reqs) {
            bool marker = r.request >= MARK;
            int was_open = cont;
            mem[0]++; // a new mark for each request
            testing::internal::CaptureStdout();
            close(0); // after the capture has its descriptors
            int got = marker ? set_autodump(r.request - MARK) : 0;
            sig_handler(signals[marker ? 0 : r.request + 1]);
            DumpStep(TakeDumpRequest(), &lb, o.max_file, &mode, &cont);
            EXPECT_EQ(fcntl(0, F_GETFD) * 10 + dump_out, -10 + N) << "descriptor 0 left open";
            dup2(stdin_copy, 0);
            std::string out = testing::internal::GetCapturedStdout();
            struct stat st = {};
            if (!r.wrote.empty() && stat(r.wrote.c_str(), &st) == 0)
                out += ReadFile(r.wrote);
            std::string bytes = "...\n" + c.head + LOG_HEADER + "rq" + (char)mem[0];
            EXPECT_EQ(out, r.wrote.empty() || marker ? "" : "dump log to " + r.wrote + bytes);
            EXPECT_EQ(st.st_mode & 0777, r.wrote.empty() ? 0 : marker ? 0644u : 0666u) << r.wrote;
            EXPECT_EQ(marker ? got : (mode == C) | (cont > 0) << 1, r.state) << r.request;
            if (cont > 0 || was_open > 0) // closed when done, else kept from later dumps' commands
                EXPECT_EQ(fcntl(cont > 0 ? cont : was_open, F_GETFD), cont > 0 ? FD_CLOEXEC : -1);
        }
        EXPECT_EQ(RunProgram({"sh", "-c", "find . | LC_ALL=C sort | cut -c3- | xargs"}).out,
            c.after + "\n");
        close(cont);
    }
}
