#include "dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "settings.h"

namespace {

const char LOG_HEADER[] =
    "\n---------------------------- Dump of log -----------------------------\n";

std::string FileHeader(const std::string &path)
{
    return "\n---------------------------- Dump of " + path +
           " ---------------------------\n";
}

std::string CmdHeader(const std::string &cmd)
{
    return "\n--------------------- dump of " + cmd + " ----------------------------\n";
}

struct DumpTest : testing::Test {
    ScratchDir dir;
    std::vector<std::string> paths; // keeps the strings the settings point to
    std::vector<std::string> files;
    std::vector<std::string> cmds;
    unsigned char mem[8] = {'i', 'j', 'c', 'd', 'e', 'f', 'g', 'h'};
    LoopBuffer lb = {mem, 8, 2, 8}; // wrapped: c d e f g h | i j
    int mode = DUMP_NOREQ;
    int cont = -1;

    void SetUp() override { Configure({}, {}, {}); }
    void TearDown() override
    {
        if (cont > 0)
            close(cont);
        Configure({}, {}, {});
    }

    // Dump paths as (path, overwrite flag); -a files; -e commands.
    void Configure(const std::vector<std::pair<std::string, int>> &p,
                   const std::vector<std::string> &a, const std::vector<std::string> &e)
    {
        paths.clear();
        for (const auto &x : p)
            paths.push_back(x.first);
        files = a;
        cmds = e;
        n_dump_path = (int)p.size();
        for (size_t i = 0; i < p.size(); i++) {
            dump_out_paths[i] = paths[i].c_str();
            dump_path_flag[i] = p[i].second;
        }
        n_copy_file = (int)files.size();
        for (size_t i = 0; i < files.size(); i++)
            copy_files[i] = files[i].c_str();
        n_dump_cmd = (int)cmds.size();
        for (size_t i = 0; i < cmds.size(); i++)
            dump_cmds[i] = cmds[i].c_str();
    }

    // Runs one dump step and returns what it printed.
    std::string Step(int request, int max_file = 20)
    {
        testing::internal::CaptureStdout();
        DumpStep(request, &lb, max_file, &mode, &cont);
        return testing::internal::GetCapturedStdout();
    }

    void SetLog(const std::string &text)
    {
        ASSERT_LE(text.size(), sizeof mem);
        memcpy(mem, text.data(), text.size());
        lb = {mem, 8, 0, (uint32_t)text.size()};
    }
};

TEST_F(DumpTest, SnapshotHoldsFilesCommandsAndTheWrappedBufferInOrder)
{
    std::string a1 = dir.file("first"), a2 = dir.file("missing"), a3 = dir.file("third");
    WriteFile(a1, "alpha\n");
    WriteFile(a3, "gamma");
    Configure({{dir.file("log"), 0}}, {a1, a2, a3}, {"printf 'one\\n'", "true", "echo two"});

    EXPECT_EQ(Step(DUMP_SNAP), "dump log to " + dir.file("log.0") + "...\n");

    ASSERT_EQ(sizeof LOG_HEADER - 1, 72u);
    EXPECT_EQ(ReadFile(dir.file("log.0")),
              FileHeader(a1) + "alpha\n" + FileHeader(a3) + "gamma" +
                  CmdHeader("printf 'one\\n'") + "one\n" + CmdHeader("true") +
                  CmdHeader("echo two") + "two\n" + LOG_HEADER + "cdefghij");
    EXPECT_EQ(cont, -1);
}

TEST_F(DumpTest, EmptyBufferAndNoExtrasLeaveTheLogHeaderAlone)
{
    Configure({{dir.file("log"), 0}}, {}, {});
    lb = {mem, 8, 0, 0};
    mode_t old = umask(0); // a detached server runs with mask 0
    Step(DUMP_SNAP);
    umask(old);
    EXPECT_EQ(ReadFile(dir.file("log.0")), LOG_HEADER);
    struct stat st;
    ASSERT_EQ(stat(dir.file("log.0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(DumpTest, OverwritePathRewritesTheSameNames)
{
    Configure({{dir.file("log"), 1}}, {}, {});
    SetLog("first");
    EXPECT_EQ(Step(DUMP_SNAP), "dump log to " + dir.file("log") + "...\n");
    SetLog("second");
    Step(DUMP_SNAP);
    EXPECT_EQ(ReadFile(dir.file("log")), std::string(LOG_HEADER) + "second");
    EXPECT_FALSE(FileExists(dir.file("log.0")));

    WriteFile(dir.file("log.cont"), std::string(5000, 'x'));
    EXPECT_EQ(Step(DUMP_CONT), "dump log to " + dir.file("log.cont") + "...\n");
    EXPECT_EQ(ReadFile(dir.file("log.cont")), std::string(LOG_HEADER) + "second");
    EXPECT_FALSE(FileExists(dir.file("log.cont.0")));
}

// Starting states of the table: off, on with an open file, on without one
// (an earlier opening failed).
enum Start { OFF, ON_OPEN, ON_NO_FILE };

TEST_F(DumpTest, StateTable)
{
    struct Case {
        const char *name;
        Start start;
        int request;
        bool snapshot;   // a snapshot file is written
        int cont_files;  // continuous files that exist afterwards
        bool cont_open;  // a continuous file is open afterwards
        bool same_fd;    // the file open before is still the one open
        bool on;         // dump_mode is DUMP_CONT afterwards
    };
    const Case cases[] = {
        {"off noreq", OFF, DUMP_NOREQ, false, 0, false, false, false},
        {"off stop", OFF, DUMP_STOP, false, 0, false, false, false},
        {"off snap", OFF, DUMP_SNAP, true, 0, false, false, false},
        {"off cont", OFF, DUMP_CONT, false, 1, true, false, true},
        {"on noreq", ON_OPEN, DUMP_NOREQ, false, 1, true, true, true},
        {"on stop", ON_OPEN, DUMP_STOP, false, 1, false, false, false},
        {"on snap", ON_OPEN, DUMP_SNAP, true, 1, true, true, true},
        {"on cont", ON_OPEN, DUMP_CONT, false, 1, true, true, true},
        {"on without file cont", ON_NO_FILE, DUMP_CONT, false, 1, true, false, true},
        {"on without file stop", ON_NO_FILE, DUMP_STOP, false, 0, false, false, false},
        {"on without file snap", ON_NO_FILE, DUMP_SNAP, true, 0, false, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir d;
        Configure({{d.file("log"), 0}}, {}, {});
        mode = DUMP_NOREQ;
        cont = -1;
        if (c.start == ON_OPEN) {
            Step(DUMP_CONT);
            ASSERT_GT(cont, 0);
        } else if (c.start == ON_NO_FILE) {
            mode = DUMP_CONT;
        }
        int before = cont;

        Step(c.request);

        EXPECT_EQ(FileExists(d.file("log.0")), c.snapshot);
        EXPECT_EQ(FileExists(d.file("log.cont.0")), c.cont_files >= 1);
        EXPECT_FALSE(FileExists(d.file("log.cont.1")));
        EXPECT_EQ(cont > 0, c.cont_open);
        if (c.same_fd) {
            EXPECT_EQ(cont, before);
        }
        if (before > 0 && !c.cont_open) {
            EXPECT_EQ(fcntl(before, F_GETFD), -1) << "the continuous file was left open";
        }
        EXPECT_EQ(mode == DUMP_CONT, c.on);
        if (cont > 0)
            close(cont);
        cont = -1;
    }
}

TEST_F(DumpTest, ContinuousFileKeepsItsContentAndIsNotInherited)
{
    Configure({{dir.file("log"), 0}}, {}, {});
    SetLog("past");
    EXPECT_EQ(Step(DUMP_CONT), "dump log to " + dir.file("log.cont.0") + "...\n");
    ASSERT_GT(cont, 0);
    EXPECT_EQ(Step(DUMP_CONT), "");
    EXPECT_NE(fcntl(cont, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(write(cont, "later", 5), 5);
    Step(DUMP_SNAP);
    EXPECT_EQ(ReadFile(dir.file("log.cont.0")), std::string(LOG_HEADER) + "past" + "later");
    EXPECT_EQ(ReadFile(dir.file("log.0")), std::string(LOG_HEADER) + "past");
    Step(DUMP_STOP);
    EXPECT_EQ(cont, -1);
    EXPECT_EQ(mode, DUMP_STOP);
}

// With standard input closed a new file gets descriptor 0, which the loop
// takes for "no file": the continuous file must still be seen as open, and
// a marker opened on 0 must count as made and not be left open.
TEST_F(DumpTest, DescriptorZeroIsNotMistakenForNoFile)
{
    std::string b = dir.file("b"), c = dir.file("c");
    mkdir(b.c_str(), 0755);
    mkdir(c.c_str(), 0755);
    Configure({{b, 0}, {c, 0}}, {}, {});
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    DumpStep(DUMP_CONT, &lb, 20, &mode, &cont); // no capture: it would take descriptor 0
    EXPECT_GT(cont, 0);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
    EXPECT_TRUE(FileExists(b + "/DUMPLOG"));
    EXPECT_FALSE(FileExists(c + "/DUMPLOG"));
    ASSERT_GT(cont, 0);
    ASSERT_EQ(write(cont, "z", 1), 1);
    EXPECT_EQ(ReadFile(b + ".cont.0"), std::string(LOG_HEADER) + "cdefghij" + "z");
}

TEST_F(DumpTest, RotationOverThreeNumbers)
{
    Configure({{dir.file("log"), 0}}, {}, {});
    struct Case {
        int newest;
        const char *present; // numbers 0..3 present after the snapshot
    };
    const Case seq[] = {{0, "0"}, {1, "01"}, {2, "012"}, {0, "02"},
                        {1, "01"}, {2, "012"}, {0, "02"}};
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE("snapshot " + std::to_string(i + 1));
        std::string mark = "snap" + std::to_string(i + 1);
        SetLog(mark);
        std::string name = dir.file("log." + std::to_string(seq[i].newest));
        EXPECT_EQ(Step(DUMP_SNAP, 3), "dump log to " + name + "...\n");
        EXPECT_EQ(ReadFile(name), LOG_HEADER + mark);
        std::string present;
        for (int n = 0; n <= 3; n++)
            if (FileExists(dir.file("log." + std::to_string(n))))
                present += std::to_string(n);
        EXPECT_EQ(present, seq[i].present);
    }
}

TEST_F(DumpTest, MaxFileOneOrLessRewritesNumberZero)
{
    for (int max_file : {1, 0, -5}) {
        SCOPED_TRACE(max_file);
        ScratchDir d;
        Configure({{d.file("log"), 0}}, {}, {});
        WriteFile(d.file("log.1"), "old");
        for (const char *mark : {"a", "b", "c"}) {
            SetLog(mark);
            EXPECT_EQ(Step(DUMP_SNAP, max_file), "dump log to " + d.file("log.0") + "...\n");
            EXPECT_EQ(ReadFile(d.file("log.0")), std::string(LOG_HEADER) + mark);
        }
        EXPECT_FALSE(FileExists(d.file("log.1")));
    }
}

TEST_F(DumpTest, MissingDirectoryFallsBackToTheNextPath)
{
    Configure({{dir.file("none/log"), 0}, {dir.file("log"), 0}}, {}, {});
    WriteFile(dir.file("log.0"), "older");
    EXPECT_EQ(Step(DUMP_SNAP), "dump log to " + dir.file("log.1") + "...\n");
    EXPECT_FALSE(FileExists(dir.file("none")));
    EXPECT_EQ(ReadFile(dir.file("log.0")), "older");
}

TEST_F(DumpTest, NoDumpPathWritesNothing)
{
    EXPECT_EQ(Step(DUMP_SNAP), "");
    EXPECT_EQ(Step(DUMP_CONT), "");
    EXPECT_EQ(mode, DUMP_CONT);
    EXPECT_EQ(cont, -1);
    EXPECT_EQ(set_autodump(1), 0);
    EXPECT_EQ(set_autodump(0), 0);
}

// A B.0 that can't be removed while every number is taken: the path is
// given up and the next one used, instead of searching forever.
TEST_F(DumpTest, RotationGivesUpWhenNumberZeroStays)
{
    mkdir(dir.file("log.0").c_str(), 0755);
    WriteFile(dir.file("log.0/keep"), "k");
    WriteFile(dir.file("log.1"), "one");
    WriteFile(dir.file("log.2"), "two");
    Configure({{dir.file("log"), 0}, {dir.file("other"), 0}}, {}, {});
    EXPECT_EQ(Step(DUMP_SNAP, 3), "dump log to " + dir.file("other.0") + "...\n");
    EXPECT_EQ(ReadFile(dir.file("log.1")), "one");
    EXPECT_EQ(ReadFile(dir.file("log.2")), "two");

    mkdir(dir.file("log.cont.0").c_str(), 0755);
    WriteFile(dir.file("log.cont.0/keep"), "k");
    WriteFile(dir.file("log.cont.1"), "one");
    WriteFile(dir.file("log.cont.2"), "two");
    Configure({{dir.file("log"), 0}}, {}, {});
    EXPECT_EQ(Step(DUMP_SNAP, 3), "");
    EXPECT_EQ(Step(DUMP_CONT, 3), "");
    EXPECT_EQ(cont, -1);
}

TEST_F(DumpTest, MarkerInTheFirstPathThatWorks)
{
    std::string b = dir.file("b");
    mkdir(b.c_str(), 0755);
    Configure({{dir.file("a"), 0}, {b, 0}}, {}, {});
    mode_t old = umask(0);
    EXPECT_EQ(set_autodump(1), 1);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((b + "/DUMPLOG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_FALSE(FileExists(dir.file("a")));
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_EQ(set_autodump(0), 1);
    EXPECT_FALSE(FileExists(b + "/DUMPLOG"));
    EXPECT_EQ(set_autodump(0), 0);
}

// Names and headers have no fixed bound: nothing is cut.
TEST_F(DumpTest, LongNamesAndHeadersAreWrittenWhole)
{
    std::string deep = dir.path;
    while (deep.size() < 300) {
        deep += "/a-rather-long-directory-name";
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string longfile = deep + "/file";
    WriteFile(longfile, "content");
    std::string dotted; // ./././... up to just under the system's path limit
    while (dotted.size() + 2 + longfile.size() < 4090)
        dotted += "./";
    std::string hugefile = "/" + dotted + longfile.substr(1);
    std::string longcmd = "echo out #" + std::string(5000, 'c');
    Configure({{deep + "/log", 0}}, {hugefile}, {longcmd});
    lb = {mem, 8, 0, 0};

    EXPECT_EQ(Step(DUMP_SNAP), "dump log to " + deep + "/log.0...\n");
    std::string want = FileHeader(hugefile) + "content" + CmdHeader(longcmd) + "out\n" + LOG_HEADER;
    std::string got = ReadFile(deep + "/log.0");
    EXPECT_TRUE(got == want) << got.size() << " bytes, want " << want.size();
    Step(DUMP_CONT);
    EXPECT_TRUE(FileExists(deep + "/log.cont.0"));
    ASSERT_EQ(mkdir((deep + "/log").c_str(), 0755), 0);
    EXPECT_EQ(set_autodump(1), 1);
    EXPECT_TRUE(FileExists(deep + "/log/DUMPLOG"));
}

} // namespace
