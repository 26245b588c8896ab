#include "update.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pk2pack.h"
#include "platform_fake.h"
#include "settings.h"

namespace {

std::string Read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The profile is the file given; no_ini runs without -c.
struct Case {
    const char *name;
    bool no_ini;
    const char *before;  // profile text, or null for a missing profile file
    uint32_t pubtime;    // of the package
    uint32_t flags;
    bool broken;         // a digest of the package is wrong
    bool remove, reboot;
    int want;
    const char *after;   // profile afterwards, or null for no file
    std::vector<std::string> calls;
};

const Case CASES[] = {
    {"stored value equals the package's", false, "[updimg]\npubtime=0x10\n", 0x10, 0, false, true, true,
     -1, "[updimg]\npubtime=0x10\n", {}},
    {"no profile records nothing", true, nullptr, 0x20, 0, false, false, false, 0, nullptr, {}},
    {"no profile refuses publication time 0", true, nullptr, 0, 0, false, false, false, -1, nullptr, {}},
    {"missing profile file created", false, nullptr, 0x20, 0, false, false, false, 0,
     "[updimg]\npubtime = 0x20\n", {}},
    {"missing section appended", false, "; device\n[net]\nip=1\n", 0xABCDEF01, 0, false, false, false, 0,
     "; device\n[net]\nip=1\n[updimg]\npubtime = 0xABCDEF01\n", {}},
    {"decimal stored value", false, "[updimg]\npubtime=16\n", 16, 0, false, false, false, -1,
     "[updimg]\npubtime=16\n", {}},
    {"octal stored value", false, "[updimg]\npubtime=020\n", 16, 0, false, false, false, -1,
     "[updimg]\npubtime=020\n", {}},
    {"decimal replaced by the 0x form", false, "[UpdImg]\nPubTime = 16\n", 0x20, 0, false, false, false, 0,
     "[UpdImg]\npubtime=0x20\n", {}},
    {"flags bit 0 writes the old value back", false, "[updimg]\npubtime=17\n", 0x20, 1, false, false, false,
     0, "[updimg]\npubtime=0x11\n", {}},
    {"flags bit 0 with nothing stored", false, nullptr, 0x20, 1, false, false, false, 0, nullptr, {}},
    {"publication time 0 leaves the stored value", false, "[updimg]\npubtime=0x5\n", 0, 0, false, false,
     false, 0, "[updimg]\npubtime=0x5\n", {}},
    {"failed verification", false, "[updimg]\npubtime=0x5\n", 0x20, 0, true, true, true, -2,
     "[updimg]\npubtime=0x5\n", {}},
    {"success restarts", false, "[updimg]\npubtime=0x5\n", 0x20, 0, false, true, true, 0,
     "[updimg]\npubtime=0x20\n", {"sync", "reboot 0x1234567"}},
};

struct UpdateTest : testing::Test {
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/update_test.XXXXXX";
        dir = mkdtemp(tmpl);
        PlatformFakeReset();
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
        identifier = IDENT_VERIFY_ONLY;
        inifile = nullptr;
        remove_after_process = 0;
        reboot_after_process = 0;
    }
};

TEST_F(UpdateTest, Bookkeeping)
{
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        const std::string package = dir + "/update.pk2";
        const std::string target = dir + "/installed.txt";
        const std::string ini = dir + "/profile.ini";
        std::filesystem::remove(target);
        std::filesystem::remove(ini);
        PlatformFakeReset();

        PackSpec desc;
        desc.ident = 7;
        desc.pubtime = c.pubtime;
        desc.flags = c.flags;
        desc.entries.push_back(PackFile(target, "new content\n"));
        if (c.broken)
            desc.entries.back().md5 = PackDigest{};
        ASSERT_TRUE(PackWrite(package, desc));
        if (c.before != nullptr)
            std::ofstream(ini, std::ios::binary) << c.before;
        identifier = 7;
        inifile = c.no_ini ? nullptr : ini.c_str();
        remove_after_process = c.remove;
        reboot_after_process = c.reboot;

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = updateFromPk2(package.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(result, c.want);
        EXPECT_EQ(err.rfind("Update from " + package + " ...\n", 0), 0u) << err;
        EXPECT_EQ(err.find("Ignore image.\n") != std::string::npos, c.want == -1);
        EXPECT_EQ(out.find("PUBTIME: 0x") != std::string::npos, c.want == 0);
        EXPECT_EQ(Exists(target), c.want == 0);
        EXPECT_EQ(Exists(package), !c.remove);
        EXPECT_EQ(Exists(ini), c.after != nullptr);
        if (c.after != nullptr) {
            EXPECT_EQ(Read(ini), c.after);
        }
        EXPECT_EQ(platform_fake_calls, c.calls);
    }
}

TEST_F(UpdateTest, StoredValuesBeyondThirtyTwoBits)
{
    struct Row { const char *stored; uint32_t refused; };
    const Row rows[] = {
        {"0x100000000", 0xFFFFFFFFu},  // too large: saturates
        {"-1", 0xFFFFFFFFu},
        {"-2", 0xFFFFFFFEu},           // negated modulo 2^32
        {"0x1F junk", 0x1Fu},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.stored);
        const std::string package = dir + "/update.pk2";
        const std::string ini = dir + "/profile.ini";
        std::ofstream(ini, std::ios::binary) << "[updimg]\npubtime=" << r.stored << "\n";
        PackSpec desc;
        desc.pubtime = r.refused;
        ASSERT_TRUE(PackWrite(package, desc));
        identifier = 0;
        inifile = ini.c_str();
        testing::internal::CaptureStderr();
        EXPECT_EQ(updateFromPk2(package.c_str()), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Ignore image.\n"), std::string::npos);
    }
}

}  // namespace
