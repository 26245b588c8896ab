// The seed corpus of the package reader's fuzz target is made here, so it
// follows the format: every seed must match what the builder makes now and
// verify as its row says. PK2_WRITE_SEEDS=1 rewrites the seed files.
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pk2.h"
#include "pk2pack.h"
#include "settings.h"

namespace {

// The fuzz target checks that this directory stays empty.
const std::string CANARY = "/tmp/pk2_reader_fuzz.canary/";

PackSpec seedSpec(std::vector<PackEntry> entries)
{
    PackSpec s;
    s.ident = 0x1234;
    s.pubtime = 0x5F000000;
    s.entries = std::move(entries);
    return s;
}

struct Seed {
    const char *name;
    std::string bytes;
    int verify;  // exec_pk2's result in verify-only mode
};

std::vector<Seed> seeds()
{
    PackEntry bad_digest = PackFile(CANARY + "t", "data");
    bad_digest.md5 = PackDigest{};
    PackEntry long_name = PackFile(CANARY + std::string(255 - CANARY.size(), 'n'), "x");
    PackEntry odd = PackRaw("XYZW", "not looked at");
    std::string pieces(8193, '\0');
    for (size_t i = 0; i < pieces.size(); i++)
        pieces[i] = static_cast<char>(i * 7);
    return {
        {"empty", PackBuild(seedSpec({})), 0},
        {"file_and_cmd",
         PackBuild(seedSpec({PackFile(CANARY + "dir/t", "hello"),
                             PackCmd("touch " + CANARY + "ran")})),
         0},
        {"two_pieces", PackBuild(seedSpec({PackFile(CANARY + "big", pieces)})), 0},
        {"other_type", PackBuild(seedSpec({odd, PackFile(CANARY + "t", "")})), 0},
        {"longest_name", PackBuild(seedSpec({long_name})), 0},
        {"bad_digest", PackBuild(seedSpec({bad_digest})), -2},
        {"trailing_byte", PackBuild(seedSpec({PackCmd("touch " + CANARY + "ran")})) + '\0', -2},
    };
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(Pk2Seeds, CorpusFollowsTheFormat)
{
    const std::string dir = std::string(SOURCE_DIR) + "/fuzz/corpus/pk2_reader_fuzz/";
    bool rewrite = getenv("PK2_WRITE_SEEDS") != nullptr;
    for (const Seed &s : seeds()) {
        SCOPED_TRACE(s.name);
        std::string path = dir + s.name;
        if (rewrite)
            ASSERT_TRUE(PackWriteBytes(path, s.bytes));
        EXPECT_EQ(slurp(path), s.bytes);
        EXPECT_EQ(exec_pk2(path.c_str(), IDENT_VERIFY_ONLY, nullptr), s.verify);
    }
}
