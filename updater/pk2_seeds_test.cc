// The seed corpus of the package reader's fuzz target must keep reaching
// both outcomes of verification: each seed verifies as its row says.
// Their targets and commands all point into /tmp/pk2_reader_fuzz.canary/.
#include <string>

#include <gtest/gtest.h>

#include "pk2.h"
#include "settings.h"

TEST(Pk2Seeds, CorpusVerifiesAsExpected)
{
    const struct {
        const char *name;
        int verify;  // exec_pk2's result in verify-only mode
    } seeds[] = {
        {"empty", 0},        {"file_and_cmd", 0}, {"two_pieces", 0},     {"other_type", 0},
        {"longest_name", 0}, {"bad_digest", -2},  {"trailing_byte", -2},
    };
    for (const auto &s : seeds) {
        std::string path = SOURCE_DIR "/fuzz/corpus/pk2_reader_fuzz/" + std::string(s.name);
        EXPECT_EQ(exec_pk2(path.c_str(), IDENT_VERIFY_ONLY, nullptr), s.verify) << s.name;
    }
}
