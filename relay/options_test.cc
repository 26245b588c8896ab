#include "options.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "settings.h"
#include "startup.h"

namespace {

// Parses the blank-separated words of line as morv would see them, from
// fresh settings, and shows what was kept, or "usage". A dump path shows
// as -oF with its flag F: -o0 for -o, -o1 for -O.
std::string parse(const char *line)
{
    n_dump_path = n_copy_file = n_dump_cmd = 0;
    acmd_list = nullptr;
    optind = 0; // a full getopt reset between parses
    opterr = 0;
    std::istringstream in(line);
    std::vector<std::string> args{std::istream_iterator<std::string>(in), {}};
    std::vector<char *> argv = {const_cast<char *>("morv")};
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    RelayOptions o;
    if (RelayParseOptions(static_cast<int>(argv.size() - 1), argv.data(), &o) != 0)
        return n_dump_path ? "usage, but a path was kept" : "usage";
    char s[128];
    snprintf(s, sizeof s, "s%d B%d b%d p%d m%d v%d", o.server, o.detach, o.buffer_size,
             o.port_listen, o.max_file, o.verbose);
    std::string r = s;
    for (int i = 0; i < n_dump_path; i++)
        r += " -o" + std::to_string(dump_path_flag[i]) + " " + dump_out_paths[i];
    for (int i = 0; i < n_copy_file; i++)
        r += std::string(" -a ") + copy_files[i];
    for (int i = 0; i < n_dump_cmd; i++)
        r += std::string(" -e ") + dump_cmds[i];
    return acmd_list ? r + " -c " + acmd_list : r;
}

TEST(RelayOptions, Parse)
{
    const std::string D = "s0 B0 b8 p3201 m20 v0"; // the defaults
    const struct {
        const char *args;
        std::string want;
    } cases[] = {
        {"-s -B -v -b 16 -p 4000 -m 3 -p 1 -m y", "s1 B1 b16 p1 m0 v1"},
        {"-o /a -O /b -o /c -o /d -O /e", D + " -o0 /a -o1 /b -o0 /c -o0 /d"},
        {"-a 1 -a 2 -a 3 -a 4 -a 5 -a 6 -a 7 -a 8 -a 9 -a 10 -a 11",
         D + " -a 1 -a 2 -a 3 -a 4 -a 5 -a 6 -a 7 -a 8 -a 9 -a 10"},
        {"-e x -E y -e 3 -E 4 -e 5 -E 6 -e 7 -E 8 -e 9 -E 10 -e 11",
         D + " -e x -e y -e 3 -e 4 -e 5 -e 6 -e 7 -e 8 -e 9 -e 10"},
        {"-c ls,df -c free", D + " -c free"},
        {"-s -h -o /late", "usage"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(parse(c.args), c.want);
    }
}

TEST(RelayOptions, BufferBytes)
{
    const int32_t cases[][2] = {{16, 16384}, {0, 0}, {-1, 0}, {INT32_MIN, 0},
                                {2097151, 2147482624} /* the largest that fits */, {2097152, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(RelayBufferBytes(c[0]), c[1]);
    }
}

} // namespace
