#include "dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "e2e_util.h"
#include "options.h"
#include "settings.h"

namespace {

const std::string LOG_HEADER =
    "\n---------------------------- Dump of log -----------------------------\n";
std::string FileHeader(const std::string &p) { return "\n---------------------------- Dump of " + p + " ---------------------------\n"; }
std::string CmdHeader(const std::string &c) { return "\n--------------------- dump of " + c + " ----------------------------\n"; }
std::string DumpLine(const std::string &name) { return "dump log to " + name + "...\n"; }

mode_t Mode(const std::string &path)
{
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The entries of a directory: name -> content.
std::map<std::string, std::string> Entries(const std::string &dir)
{
    std::map<std::string, std::string> m;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        m[e.path().filename()] = ReadFile(e.path());
    return m;
}

struct DumpTest : testing::Test {
    ScratchDir dir;
    std::vector<std::string> args; // the settings point into these
    unsigned char mem[8] = {'i', 'j', 'c', 'd', 'e', 'f', 'g', 'h'};
    LoopBuffer lb = {mem, 8, 2, 8}; // wrapped: c d e f g h | i j
    int mode = DUMP_NOREQ, cont = -1;

    void TearDown() override
    {
        if (cont > 0)
            close(cont);
        Configure({});
    }
    // Dump paths, -a files and -e commands, set as morv's command line sets them.
    void Configure(const std::vector<std::string> &a)
    {
        args = a;
        std::vector<char *> argv = {const_cast<char *>("morv")};
        for (std::string &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        n_dump_path = n_copy_file = n_dump_cmd = 0;
        optind = 0;
        RelayOptions opt;
        ASSERT_EQ(RelayParseOptions((int)argv.size() - 1, argv.data(), &opt), 0);
    }
    // Runs one dump step and returns what it printed.
    std::string Step(int request, int max_file = 20)
    {
        testing::internal::CaptureStdout();
        DumpStep(request, &lb, max_file, &mode, &cont);
        return testing::internal::GetCapturedStdout();
    }
};

// Names and headers have no fixed bound: nothing is cut.
TEST_F(DumpTest, SnapshotBytesAndLongNamesWrittenWhole)
{
    std::string deep = dir.path, dotted; // a dump path over 300 bytes, a -a path near 4096
    while (deep.size() < 300)
        ASSERT_EQ(mkdir((deep += "/a-rather-long-directory-name").c_str(), 0755), 0);
    std::string a1 = deep + "/first", a3 = dir.file("third");
    WriteFile(a1, "alpha\n");
    WriteFile(a3, "gamma");
    while (dotted.size() + 2 + a1.size() < 4090)
        dotted += "./";
    std::string huge = "/" + dotted + a1.substr(1), longcmd = "echo two #" + std::string(5000, 'c');
    Configure({"-a", huge, "-a", dir.file("missing"), "-a", a3, "-e", "printf 'one\\n'", "-e", "true",
               "-E", longcmd, "-o", deep + "/log"});
    mode_t old = umask(0); // a detached server runs with mask 0
    EXPECT_EQ(Step(DUMP_SNAP), DumpLine(deep + "/log.0"));
    umask(old);
    ASSERT_EQ(LOG_HEADER.size(), 72u);
    std::string want = FileHeader(huge) + "alpha\n" + FileHeader(a3) + "gamma" + CmdHeader("printf 'one\\n'") +
                       "one\n" + CmdHeader("true") + CmdHeader(longcmd) + "two\n" + LOG_HEADER + "cdefghij";
    std::string got = ReadFile(deep + "/log.0");
    EXPECT_TRUE(got == want) << got.size() << " bytes, want " << want.size() << ":\n" << got.substr(0, 400);
    EXPECT_EQ(Mode(deep + "/log.0"), 0666u);
    EXPECT_EQ(cont, -1);
    Step(DUMP_CONT);
    EXPECT_TRUE(FileExists(deep + "/log.cont.0"));
    ASSERT_EQ(mkdir((deep + "/log").c_str(), 0755), 0);
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_TRUE(FileExists(deep + "/log/DUMPLOG"));
}

enum Start { OFF, ON_OPEN, ON_NO_FILE }; // on without a file: an earlier opening failed

TEST_F(DumpTest, StateTable)
{
    // Afterwards: "snap" log.0 written, "cont" log.cont.0 there, "open" a file
    // open, "same" the one open before, "on" dump_mode DUMP_CONT.
    struct Case { const char *name; Start start; int request; const char *after; };
    const Case cases[] = {
        {"off noreq", OFF, DUMP_NOREQ, ""},
        {"off stop", OFF, DUMP_STOP, ""},
        {"off snap", OFF, DUMP_SNAP, "snap"},
        {"off cont", OFF, DUMP_CONT, "cont open on"},
        {"on noreq", ON_OPEN, DUMP_NOREQ, "cont open same on"},
        {"on stop", ON_OPEN, DUMP_STOP, "cont"},
        {"on snap", ON_OPEN, DUMP_SNAP, "snap cont open same on"},
        {"on cont", ON_OPEN, DUMP_CONT, "cont open same on"},
        {"on without file cont", ON_NO_FILE, DUMP_CONT, "cont open on"},
        {"on without file stop", ON_NO_FILE, DUMP_STOP, ""},
        {"on without file snap", ON_NO_FILE, DUMP_SNAP, "snap on"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir d;
        Configure({"-o", d.file("log")});
        mode = c.start == ON_NO_FILE ? DUMP_CONT : DUMP_NOREQ;
        if (c.start == ON_OPEN)
            Step(DUMP_CONT);
        ASSERT_EQ(cont > 0, c.start == ON_OPEN);
        int before = cont;
        Step(c.request);
        std::string got;
        for (auto [word, seen] : {std::pair{"snap", FileExists(d.file("log.0"))},
                                  {"cont", FileExists(d.file("log.cont.0"))}, {"open", cont > 0},
                                  {"same", cont > 0 && cont == before}, {"on", mode == DUMP_CONT}})
            got += seen ? (got.empty() ? "" : " ") + std::string(word) : "";
        EXPECT_EQ(got, c.after);
        EXPECT_FALSE(FileExists(d.file("log.cont.1"))); // "dump" twice: one file
        if (before > 0 && cont != before)
            EXPECT_EQ(fcntl(before, F_GETFD), -1) << "the continuous file was left open";
        if (cont > 0) // not inherited by the commands of later dumps
            EXPECT_NE(fcntl(cont, F_GETFD) & FD_CLOEXEC, 0);
        if (cont > 0 && close(cont) == 0)
            cont = -1;
    }
}

// Each case starts from the files its shell text makes and runs its
// requests in turn: the file each writes ("" none), the names there
// afterwards. Files there before keep their content unless written.
TEST_F(DumpTest, NamesRotationAndPathsThatFail)
{
    struct Req { int request; const char *wrote, *after; };
    struct Case { const char *name; int max_file; std::vector<const char *> paths; const char *setup;
                  std::vector<Req> reqs; };
    // log.0 and log.cont.0 can't be removed while every number is taken.
    const char *stuck = "for b in log log.cont; do mkdir $b.0 && echo >$b.0/keep && echo >$b.1 && echo >$b.2; done";
    const char *stuck_names = "log.0 log.1 log.2 log.cont.0 log.cont.1 log.cont.2";
    const Case cases[] = {
        {"max_file 3, stale log.1", 3, {"-o", "log"}, "echo >log.1",
         {{DUMP_SNAP, "log.0", "log.0"}, {DUMP_SNAP, "log.1", "log.0 log.1"},
          {DUMP_SNAP, "log.2", "log.0 log.1 log.2"}, {DUMP_SNAP, "log.0", "log.0 log.2"},
          {DUMP_SNAP, "log.1", "log.0 log.1"}, {DUMP_SNAP, "log.2", "log.0 log.1 log.2"},
          {DUMP_SNAP, "log.0", "log.0 log.2"}}},
        {"max_file 1", 1, {"-o", "log"}, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0"}, {DUMP_SNAP, "log.0", "log.0"}}},
        {"max_file 0", 0, {"-o", "log"}, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0"}, {DUMP_SNAP, "log.0", "log.0"}}},
        {"max_file -5", -5, {"-o", "log"}, "echo >log.1", {{DUMP_SNAP, "log.0", "log.0"}, {DUMP_SNAP, "log.0", "log.0"}}},
        {"overwrite", 20, {"-O", "log"}, "printf %5000s >log.cont",
         {{DUMP_SNAP, "log", "log log.cont"}, {DUMP_SNAP, "log", "log log.cont"},
          {DUMP_CONT, "log.cont", "log log.cont"}}},
        {"missing directory", 20, {"-o", "none/log", "-o", "log"}, "echo older >log.0",
         {{DUMP_SNAP, "log.1", "log.0 log.1"}}},
        {"stuck, next path", 3, {"-o", "log", "-o", "other"}, stuck,
         {{DUMP_SNAP, "other.0", "log.0 log.1 log.2 log.cont.0 log.cont.1 log.cont.2 other.0"}}},
        {"stuck, only path", 3, {"-o", "log"}, stuck, {{DUMP_SNAP, "", stuck_names}, {DUMP_CONT, "", stuck_names}}},
        {"no dump path", 20, {}, "", {{DUMP_SNAP, "", ""}, {DUMP_CONT, "", ""}}},
    };
    for (const Case &c : cases) {
        ScratchDir d;
        ASSERT_EQ(RunProgram({"sh", "-c", c.setup}, "", d.path).status, 0) << c.name;
        std::vector<std::string> a;
        for (const char *w : c.paths)
            a.push_back(*w == '-' ? w : d.file(w));
        Configure(a);
        for (size_t i = 0; i < c.reqs.size(); i++) {
            SCOPED_TRACE(c.name + (", request " + std::to_string(i + 1)));
            const Req &r = c.reqs[i];
            std::map<std::string, std::string> before = Entries(d.path);
            std::string mark = "req" + std::to_string(i + 1), names;
            memcpy(mem, mark.data(), mark.size());
            lb = {mem, 8, 0, (uint32_t)mark.size()};
            mode = DUMP_NOREQ;
            EXPECT_EQ(Step(r.request, c.max_file), *r.wrote ? DumpLine(d.file(r.wrote)) : "");
            for (const auto &[name, text] : Entries(d.path)) {
                names += (names.empty() ? "" : " ") + name;
                if (name == r.wrote)
                    EXPECT_EQ(text, LOG_HEADER + mark);
                else if (before.count(name))
                    EXPECT_EQ(text, before[name]) << name;
            }
            EXPECT_EQ(names, r.after);
            EXPECT_EQ(mode, r.request);
            EXPECT_EQ(cont > 0, *r.wrote && r.request == DUMP_CONT);
            if (cont > 0 && close(cont) == 0)
                cont = -1;
        }
    }
}

// In a directory others can write, a planted link is not written (or made)
// through and a FIFO takes nothing: each is a path that can't be opened,
// and the next path gets the dump. The FIFO has a reader, so an opening
// for writing would not block.
TEST_F(DumpTest, LinksAndFifosAreNotWrittenThrough)
{
    std::string victim = dir.file("victim"), made = dir.file("made"), fifo = dir.file("fifo");
    WriteFile(victim, "root's\n");
    ASSERT_EQ(symlink(victim.c_str(), dir.file("over").c_str()), 0);
    ASSERT_EQ(symlink(made.c_str(), dir.file("log.0").c_str()), 0);
    ASSERT_EQ(symlink(made.c_str(), dir.file("DUMPLOG").c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    for (const char *planted : {"-Oover", "-olog", "-Ofifo"}) {
        SCOPED_TRACE(planted);
        Configure({std::string(planted, 2), dir.file(planted + 2), "-O", dir.file("plain")});
        EXPECT_EQ(Step(DUMP_SNAP), DumpLine(dir.file("plain")));
        EXPECT_EQ(ReadFile(dir.file("plain")), LOG_HEADER + "cdefghij");
    }
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
    Configure({"-o", dir.path});
    EXPECT_EQ(set_autodump(1), 0);
    EXPECT_EQ(ReadFile(victim), "root's\n");
    EXPECT_FALSE(FileExists(made));
}

// The marker goes to the first path where it can be made. With standard
// input closed a new file gets descriptor 0, which the loop takes for "no
// file": a marker opened on 0 must count as made and not be left open, and
// the continuous file must still be seen as open.
TEST_F(DumpTest, MarkerAndDescriptorZero)
{
    EXPECT_EQ(set_autodump(1), 0); // no dump path
    EXPECT_EQ(set_autodump(0), 0);
    std::string b = dir.file("b"), c = dir.file("c");
    mkdir(b.c_str(), 0755);
    mkdir(c.c_str(), 0755);
    Configure({"-o", dir.file("a"), "-o", b, "-o", c});
    lb = {mem, 8, 0, 0};
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    mode_t old = umask(0);
    EXPECT_EQ(set_autodump(1), 1);
    umask(old);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    DumpStep(DUMP_CONT, &lb, 20, &mode, &cont); // no capture: it would take descriptor 0
    EXPECT_GT(cont, 0);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(Mode(b + "/DUMPLOG"), 0644u);
    EXPECT_FALSE(FileExists(dir.file("a")));
    EXPECT_FALSE(FileExists(c + "/DUMPLOG"));
    ASSERT_GT(cont, 0);
    ASSERT_EQ(write(cont, "z", 1), 1);
    EXPECT_EQ(ReadFile(dir.file("a.cont.0")), LOG_HEADER + "z"); // an empty buffer adds nothing
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_EQ(set_autodump(0), 1);
    EXPECT_FALSE(FileExists(b + "/DUMPLOG"));
    EXPECT_EQ(set_autodump(0), 0);
}

} // namespace
