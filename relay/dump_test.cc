// The command line, dump files and the autodump marker of morv.
#include "dump.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "e2e_util.h"
#include "options.h"
#include "settings.h"
#include "startup.h"

namespace {

const std::string LOG_HEADER = "\n---------------------------- Dump of log -----------------------------\n";

// Sets morv's settings from the blank-separated words of line (they stay
// valid until the next call) and shows what was kept, or "usage". A dump
// path shows as -o0 for -o, -o1 for -O.
std::string Configure(const std::string &line)
{
    static std::string words;
    words = line;
    n_dump_path = n_copy_file = n_dump_cmd = optind = opterr = 0; // optind 0: a full getopt reset
    acmd_list = nullptr;
    std::vector<char *> argv = {const_cast<char *>("morv")};
    for (char *w = strtok(words.data(), " "); w; w = strtok(nullptr, " "))
        argv.push_back(w);
    RelayOptions o;
    if (RelayParseOptions((int)argv.size(), argv.data(), &o) != 0)
        return n_dump_path ? "usage, but a path was kept" : "usage";
    std::string r = "s" + std::to_string(o.server) + " B" + std::to_string(o.detach) + " b" + std::to_string(o.buffer_size) +
                    " p" + std::to_string(o.port_listen) + " m" + std::to_string(o.max_file) + " v" + std::to_string(o.verbose);
    for (int i = 0; i < n_dump_path; i++)
        r += " -o" + std::to_string(dump_path_flag[i]) + " " + dump_out_paths[i];
    for (int i = 0; i < n_copy_file; i++)
        r += std::string(" -a ") + copy_files[i];
    for (int i = 0; i < n_dump_cmd; i++)
        r += std::string(" -e ") + dump_cmds[i];
    return acmd_list ? r + " -c " + acmd_list : r;
}

TEST(Relay, OptionsUsageAndBufferBytes)
{
    const std::string D = "s0 B0 b8 p3201 m20 v0"; // the defaults
    const std::pair<const char *, std::string> cases[] = {
        {"-s -B -v -b 16 -p 4000 -m 3 -p 1 -m y", "s1 B1 b16 p1 m0 v1"}, {"-o /a -O /b -o /c -o /d -O /e", D + " -o0 /a -o1 /b -o0 /c -o0 /d"},
        {"-a 1 -a 2 -a 3 -a 4 -a 5 -a 6 -a 7 -a 8 -a 9 -a 10 -a 11", D + " -a 1 -a 2 -a 3 -a 4 -a 5 -a 6 -a 7 -a 8 -a 9 -a 10"},
        {"-e x -E y -e 3 -E 4 -e 5 -E 6 -e 7 -E 8 -e 9 -E 10 -e 11", D + " -e x -e y -e 3 -e 4 -e 5 -e 6 -e 7 -e 8 -e 9 -e 10"},
        {"-c ls,df -c free", D + " -c free"}, {"-s -h -o /late", "usage"}, {"-x", "usage"}, {"-s -p", "usage"}};
    for (const auto &[line, want] : cases)
        EXPECT_EQ(Configure(line), want) << line;
    EXPECT_EXIT(printUsage(), testing::ExitedWithCode(1), "");
    for (auto [kib, bytes] : {std::pair{16, 16384}, {0, 0}, {-1, 0}, {INT32_MIN, 0}, {2097151, 2147482624}, {2097152, 0}})
        EXPECT_EQ(RelayBufferBytes(kib), bytes) << kib; // 2097151 KiB: the largest that fits
}

enum { OFF, ON, OPEN = 3 }; // ON: dump_mode DUMP_CONT; OPEN: and the continuous file open

// Each case makes its files with a shell text, then runs its requests in
// turn, the dump state carried over: the file each writes ("" none), the
// names there afterwards, the state. Files keep their content unless
// written. Dump paths may lie where others can write: a planted link is
// not written (or made) through, a FIFO with a reader takes nothing.
TEST(Relay, DumpNamesRotationAndStates)
{
    struct Req { int request; const char *wrote, *after; int state; };
    // log.0 and log.cont.0 can't be removed while every number is taken.
    const char *stuck = "for b in log log.cont; do mkdir $b.0 && echo >$b.0/keep && echo >$b.1 && echo >$b.2; done";
    const char *all = "log.0 log.1 log.2 log.cont.0 log.cont.1 log.cont.2", *log = "-o log";
    const struct { int max_file; const char *paths, *setup; std::vector<Req> reqs; int start = DUMP_NOREQ; } cases[] = {
        {20, log, "", {{DUMP_NOREQ, "", "", OFF}, {DUMP_STOP, "", "", OFF}, {DUMP_SNAP, "log.0", "log.0", OFF},
         {DUMP_CONT, "log.cont.0", "log.0 log.cont.0", OPEN}, {DUMP_NOREQ, "", "log.0 log.cont.0", OPEN},
         {DUMP_CONT, "", "log.0 log.cont.0", OPEN}, {DUMP_SNAP, "log.1", "log.0 log.1 log.cont.0", OPEN},
         {DUMP_STOP, "", "log.0 log.1 log.cont.0", OFF}, {DUMP_STOP, "", "log.0 log.1 log.cont.0", OFF}}},
        {20, log, "", {{DUMP_SNAP, "log.0", "log.0", ON}, {DUMP_CONT, "log.cont.0", "log.0 log.cont.0", OPEN}}, DUMP_CONT},
        {20, log, "", {{DUMP_STOP, "", "", OFF}, {DUMP_SNAP, "log.0", "log.0", OFF}}, DUMP_CONT},
        {3, log, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0", OFF}, {DUMP_SNAP, "log.1", "log.0 log.1", OFF},
          {DUMP_SNAP, "log.2", "log.0 log.1 log.2", OFF}, {DUMP_SNAP, "log.0", "log.0 log.2", OFF}, {DUMP_SNAP, "log.1", "log.0 log.1", OFF}}},
        {1, log, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0", OFF}, {DUMP_SNAP, "log.0", "log.0", OFF}}},
        {-5, log, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0", OFF}, {DUMP_SNAP, "log.0", "log.0", OFF}}},
        {20, "-O log", "printf %5000s >log.cont", {{DUMP_SNAP, "log", "log log.cont", OFF}, {DUMP_CONT, "log.cont", "log log.cont", OPEN}}},
        {20, "-o none/log -o log", "echo older >log.0", {{DUMP_SNAP, "log.1", "log.0 log.1", OFF}}},
        {3, "-o log -o other", stuck, {{DUMP_SNAP, "other.0", "log.0 log.1 log.2 log.cont.0 log.cont.1 log.cont.2 other.0", OFF}}},
        {3, log, stuck, {{DUMP_SNAP, "", all, OFF}, {DUMP_CONT, "", all, ON}}},
        {20, "", "", {{DUMP_SNAP, "", "", OFF}, {DUMP_CONT, "", "", ON}}},
        {20, "-O over -o x -O fifo -O plain", "echo root >victim; ln -s victim over; ln -s made x.0; mkfifo fifo",
         {{DUMP_SNAP, "plain", "fifo over plain victim x.0", OFF}}}};
    for (const auto &c : cases) {
        ScratchDir d;
        auto entries = [&] {
            std::map<std::string, std::string> m;
            for (const auto &e : std::filesystem::directory_iterator(d.path))
                m[e.path().filename()] = e.is_fifo() ? "" : ReadFile(e.path());
            return m;
        };
        ASSERT_EQ(RunProgram({"sh", "-c", c.setup}, "", d.path).status, 0) << c.setup;
        int reader = open(d.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // so opening it would not block
        ASSERT_NE(Configure(std::regex_replace(c.paths, std::regex(" (\\w)"), " " + d.path + "/$1")), "usage");
        unsigned char mem[3] = {'r', 'q', '0'};
        LoopBuffer lb = {mem, 3, 0, 3};
        int mode = c.start, cont = -1;
        for (const Req &r : c.reqs) {
            SCOPED_TRACE(std::string(c.setup) + ", then " + r.after);
            std::map<std::string, std::string> before = entries();
            int was_open = cont;
            mem[2]++; // a new mark for each request
            testing::internal::CaptureStdout();
            DumpStep(r.request, &lb, c.max_file, &mode, &cont);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), *r.wrote ? "dump log to " + d.file(r.wrote) + "...\n" : "");
            std::string names;
            for (const auto &[name, text] : entries()) {
                names += (names.empty() ? "" : " ") + name;
                EXPECT_EQ(text, name == r.wrote ? LOG_HEADER + std::string((char *)mem, 3) : before[name]) << name;
            }
            EXPECT_EQ(names, r.after);
            EXPECT_EQ((mode == DUMP_CONT) | (cont > 0) << 1, r.state);
            if (cont > 0) // not inherited by the commands of later dumps
                EXPECT_NE(fcntl(cont, F_GETFD) & FD_CLOEXEC, 0);
            else if (was_open > 0) // and closed, not left open
                EXPECT_EQ(fcntl(was_open, F_GETFD), -1);
        }
        if (cont > 0)
            close(cont);
        close(reader);
    }
}

// The marker goes to the first path where it can be made, never through a
// planted link. With standard input closed a new file gets descriptor 0,
// which the loop takes for "no file": a marker opened on 0 must count as
// made and not be left open, the continuous file must still be seen as
// open, and an -a file read from 0 must still be dumped. The content: the
// -a files, the output of the commands, the ring oldest byte first, with
// names and headers never cut.
TEST(Relay, DumpContentMarkerAndDescriptorZero)
{
    Configure("");
    EXPECT_EQ(set_autodump(1) + set_autodump(0), 0); // no dump path
    ScratchDir dir;
    std::string p = dir.path + "/", longcmd = "echo\ttwo\t#" + std::string(5000, 'c');
    ASSERT_EQ(mkdir((p + "b").c_str(), 0755) | mkdir((p + "c").c_str(), 0755) | mkdir((p + "d").c_str(), 0755), 0);
    ASSERT_EQ(symlink((p + "made").c_str(), (p + "b/DUMPLOG").c_str()), 0);
    WriteFile(p + "first", "alpha\n");
    WriteFile(p + "third", "gamma");
    Configure("-a " + p + "first -a " + p + "missing -a " + p + "third -e echo\tone -e true -E " + longcmd + " -o " + p + "log -o " +
              p + "b -o " + p + "c -o " + p + "d");
    unsigned char mem[8] = {'i', 'j', 'c', 'd', 'e', 'f', 'g', 'h'};
    LoopBuffer lb = {mem, 8, 2, 8}; // wrapped: c d e f g h | i j
    int mode = DUMP_NOREQ, cont = -1, saved = dup(0);
    close(0);
    mode_t old = umask(0); // a detached server runs with mask 0
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    DumpStep(DUMP_CONT, &lb, 20, &mode, &cont); // no capture: it would take descriptor 0
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    umask(old);
    dup2(saved, 0);
    close(saved);
    struct stat marker = {}, dump = {};
    EXPECT_EQ(stat((p + "c/DUMPLOG").c_str(), &marker) | stat((p + "log.cont.0").c_str(), &dump), 0);
    EXPECT_EQ((marker.st_mode & 0777) << 12 | (dump.st_mode & 0777), 0644u << 12 | 0666u);
    EXPECT_FALSE(FileExists(p + "log") || FileExists(p + "made") || FileExists(p + "d/DUMPLOG"));
    ASSERT_GT(cont, 0);
    ASSERT_EQ(write(cont, "z", 1), 1);
    close(cont);
    std::string file = "\n---------------------------- Dump of ", file_end = " ---------------------------\n",
                cmd = "\n--------------------- dump of ", cmd_end = " ----------------------------\n";
    EXPECT_EQ(ReadFile(p + "log.cont.0"), file + p + "first" + file_end + "alpha\n" + file + p + "third" + file_end + "gamma" + cmd +
                  "echo\tone" + cmd_end + "one\n" + cmd + "true" + cmd_end + cmd + longcmd + cmd_end + "two\n" + LOG_HEADER + "cdefghijz");
    EXPECT_EQ(set_autodump(1) + set_autodump(0), 2);
    EXPECT_FALSE(FileExists(p + "c/DUMPLOG"));
    EXPECT_EQ(set_autodump(0), 0);
    Configure("");
}

TEST(Relay, DumpSignalsSetTheRequestTakenOnce)
{
    for (auto [sig, request] : {std::pair{SIGUSR1, DUMP_SNAP}, {SIGUSR2, DUMP_CONT}, {SIGRTMIN, DUMP_STOP}, {SIGHUP, DUMP_NOREQ}}) {
        sig_handler(sig);
        EXPECT_EQ(TakeDumpRequest(), request) << sig;
        EXPECT_EQ(dump_out, DUMP_NOREQ);
    }
}

} // namespace
