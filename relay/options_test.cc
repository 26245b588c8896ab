#include "options.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"
#include "startup.h"

namespace {

// Parses args as morv would see them, from fresh settings.
int parse(std::vector<std::string> &args, RelayOptions *opt)
{
    n_dump_path = n_copy_file = n_dump_cmd = 0;
    acmd_list = nullptr;
    optind = 0; // a full getopt reset between parses
    opterr = 0;
    std::vector<char *> argv = {const_cast<char *>("morv")};
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return RelayParseOptions(static_cast<int>(argv.size() - 1), argv.data(), opt);
}

TEST(RelayOptions, DefaultsAndNumbers)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        RelayOptions want;
    };
    const Case cases[] = {
        {"defaults", {}, {0, 0, 8, 3201, 20, 0}},
        {"all flags", {"-s", "-B", "-v"}, {1, 1, 8, 3201, 20, 1}},
        {"numbers", {"-b", "16", "-p", "4000", "-m", "3"}, {0, 0, 16, 4000, 3, 0}},
        {"later number wins", {"-p", "1", "-p", "2", "-b", "4", "-b", "5"}, {0, 0, 5, 2, 20, 0}},
        {"not a number reads 0", {"-b", "x", "-p", "y", "-m", "-2"}, {0, 0, 0, 0, -2, 0}},
        {"arguments that are not options", {"stray", "-s"}, {1, 0, 8, 3201, 20, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        RelayOptions o;
        ASSERT_EQ(parse(args, &o), 0);
        EXPECT_EQ(o.server, c.want.server);
        EXPECT_EQ(o.detach, c.want.detach);
        EXPECT_EQ(o.buffer_size, c.want.buffer_size);
        EXPECT_EQ(o.port_listen, c.want.port_listen);
        EXPECT_EQ(o.max_file, c.want.max_file);
        EXPECT_EQ(o.verbose, c.want.verbose);
    }
}

TEST(RelayOptions, ListsKeepTheirFirstEntries)
{
    std::vector<std::string> args = {"-o", "/a", "-O", "/b", "-o", "/c", "-o", "/d", "-O", "/e",
                                     "-e", "x", "-E", "y", "-c", "ls,df", "-c", "free"};
    for (int i = 0; i < 11; i++) {
        args.push_back("-a");
        args.push_back("/f" + std::to_string(i));
    }
    for (int i = 0; i < 9; i++) {
        args.push_back(i % 2 ? "-e" : "-E");
        args.push_back("cmd" + std::to_string(i));
    }
    RelayOptions o;
    ASSERT_EQ(parse(args, &o), 0);
    ASSERT_EQ(n_dump_path, 4);
    const char *paths[] = {"/a", "/b", "/c", "/d"};
    const int flags[] = {0, 1, 0, 0};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(dump_out_paths[i], paths[i]);
        EXPECT_EQ(dump_path_flag[i], flags[i]);
    }
    ASSERT_EQ(n_copy_file, 10);
    EXPECT_STREQ(copy_files[0], "/f0");
    EXPECT_STREQ(copy_files[9], "/f9");
    ASSERT_EQ(n_dump_cmd, 10);
    EXPECT_STREQ(dump_cmds[0], "x");
    EXPECT_STREQ(dump_cmds[1], "y");
    EXPECT_STREQ(dump_cmds[9], "cmd7");
    EXPECT_STREQ(acmd_list, "free");
}

TEST(RelayOptions, UsageIsDue)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-?"}, {"-x"}, {"-s", "-p"}, {"-o"}, {"-s", "-h", "-o", "/late"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c.back());
        std::vector<std::string> args = c;
        RelayOptions o;
        EXPECT_EQ(parse(args, &o), -1);
        EXPECT_EQ(n_dump_path, 0); // nothing after the offending option
    }
}

TEST(RelayOptions, BufferBytes)
{
    struct Case {
        int kib;
        int32_t bytes;
    };
    const Case cases[] = {
        {8, 8192},           {16, 16384}, {1, 1024}, {0, 0}, {-1, 0}, {INT32_MIN, 0},
        {2097151, 2147482624}, // the largest that fits
        {2097152, 0},          {INT32_MAX, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kib);
        EXPECT_EQ(RelayBufferBytes(c.kib), c.bytes);
    }
}

} // namespace
