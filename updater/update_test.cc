#include "update.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pk2pack.h"
#include "platform_fake.h"
#include "settings.h"

namespace {

namespace fs = std::filesystem;

TEST(UpdateFromPk2, Bookkeeping)
{
    // opts: c gives the profile, r removes the package, b restarts, x spoils a digest of the package,
    // d puts a directory in the profile's place.
    // before: the profile's text, null for no file; after: null when it stays as before.
    struct Case { const char *name, *opts, *before; uint32_t pubtime, flags; int want; const char *after; };
    const char *FIVE = "[updimg]\npubtime=0x5\n";
    const Case cases[] = {
        {"stored value equals the package's", "crb", "[updimg]\npubtime=0x10\n", 0x10, 0, -1, nullptr},
        {"no profile records nothing", "", nullptr, 0x20, 0, 0, nullptr},
        {"no profile refuses publication time 0", "", nullptr, 0, 0, -1, nullptr},
        {"missing section appended", "c", ";\n[net]\n", 0xABCDEF01, 0, 0, ";\n[net]\n[updimg]\npubtime = 0xABCDEF01\n"},
        {"decimal stored value", "c", "[updimg]\npubtime=16\n", 16, 0, -1, nullptr},
        {"octal stored value", "c", "[updimg]\npubtime=020\n", 16, 0, -1, nullptr},
        {"flags bit 0 writes 17 back as 0x11", "c", "[updimg]\npubtime=17\n", 0x20, 1, 0, "[updimg]\npubtime=0x11\n"},
        {"flags bit 0 with nothing stored", "c", nullptr, 0x20, 1, 0, nullptr},
        {"publication time 0 leaves the stored value", "c", FIVE, 0, 0, 0, nullptr},
        {"failed verification", "crbx", FIVE, 0x20, 0, -2, nullptr},
        {"success restarts", "crb", FIVE, 0x20, 0, 0, "[updimg]\npubtime=0x20\n"},
        {"unsaved record: failure, no restart", "crbd", nullptr, 0x20, 0, -1, nullptr},
        {"beyond 32 bits saturates", "c", "[updimg]\npubtime=0x100000000\n", 0xFFFFFFFF, 0, -1, nullptr},
        {"-2 wraps", "c", "[updimg]\npubtime=-2\n", 0xFFFFFFFE, 0, -1, nullptr},
        {"reading stops at junk", "c", "[updimg]\npubtime=0x1F junk\n", 0x1F, 0, -1, nullptr},
    };
    char tmpl[] = "/tmp/update_test.XXXXXX";
    const std::string dir = mkdtemp(tmpl), package = dir + "/update.pk2";
    const std::string target = dir + "/installed.txt", ini = dir + "/profile.ini";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(target);
        fs::remove(ini);
        PlatformFakeReset();
        PackDesc desc{.ident = 7, .pubtime = c.pubtime, .flags = c.flags, .entries = {PackFile(target, "new\n")}};
        if (strchr(c.opts, 'x') != nullptr)
            desc.entries[0].md5 = PackDigest{};
        ASSERT_TRUE(PackWrite(package, desc));
        if (c.before != nullptr)
            std::ofstream(ini, std::ios::binary) << c.before;
        const bool unsaved = strchr(c.opts, 'd') != nullptr, installed = c.want == 0 || unsaved;
        if (unsaved)
            fs::create_directory(ini);
        identifier = 7;
        inifile = strchr(c.opts, 'c') != nullptr ? ini.c_str() : nullptr;
        remove_after_process = strchr(c.opts, 'r') != nullptr;
        reboot_after_process = strchr(c.opts, 'b') != nullptr;

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = updateFromPk2(package.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(result, c.want);
        EXPECT_EQ(err.rfind("Update from " + package + " ...\n", 0), 0u) << err;
        EXPECT_EQ(err.find("Ignore image.\n") != std::string::npos, c.want == -1 && !unsaved);
        EXPECT_EQ(err.find("Can't save pubtime to " + ini + "\n") != std::string::npos, unsaved);
        EXPECT_EQ(out.find("PUBTIME: 0x") != std::string::npos, installed);
        EXPECT_EQ(fs::exists(target), installed);
        EXPECT_EQ(fs::exists(package), !remove_after_process);
        const char *after = c.after != nullptr ? c.after : c.before;
        std::ifstream in(ini, std::ios::binary);
        EXPECT_EQ(in.is_open() && !unsaved, after != nullptr);
        if (after != nullptr)
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), after);
        std::vector<std::string> calls;
        if (c.want == 0 && strchr(c.opts, 'b') != nullptr)
            calls = {"sync", "reboot 0x1234567"};
        EXPECT_EQ(platform_fake_calls, calls);
    }
    identifier = IDENT_VERIFY_ONLY;
    inifile = nullptr;
    remove_after_process = reboot_after_process = 0;
    fs::remove_all(dir);
}

}  // namespace
