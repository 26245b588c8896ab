// Runs the built pk2update with a profile: the publication time is recorded
// once, a second run of the same package is refused, and everything else in
// the profile stays as it was.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

const uint32_t IDENT = 0x2A;
const char IDENT_TEXT[] = "42";
const uint32_t PUBTIME = 0x5F00A1B2;

// Other sections, comments, a CR LF line and a blank tail around [updimg].
const char PROFILE_BEFORE[] =
    "; camera settings\n"
    "[net]\n"
    "ip = 192.168.1.10\r\n"
    "# keep this\n"
    "\n"
    "[UpdImg]\n"
    "channel=beta\n"
    "\n"
    "; end of updimg\n"
    "[video]\n"
    "fps=25";
const char PROFILE_AFTER[] =
    "; camera settings\n"
    "[net]\n"
    "ip = 192.168.1.10\r\n"
    "# keep this\n"
    "\n"
    "[UpdImg]\n"
    "channel=beta\n"
    "pubtime=0x5F00A1B2\n"
    "\n"
    "; end of updimg\n"
    "[video]\n"
    "fps=25";

std::string MakePackage(const ScratchDir &dir, const std::string &target, bool broken = false)
{
    PackSpec desc;
    desc.ident = IDENT;
    desc.pubtime = PUBTIME;
    desc.entries.push_back(PackFile(target, "firmware\n"));
    if (broken)
        desc.entries.back().md5 = PackDigest{};
    std::string pkg = dir.file("update.pk2");
    EXPECT_TRUE(PackWrite(pkg, desc));
    return pkg;
}

RunResult Update(const std::string &profile, const std::string &pkg, bool remove)
{
    std::vector<std::string> args = {BuiltProgram("pk2update"), "-d", IDENT_TEXT, "-c", profile};
    if (remove)
        args.push_back("-r");
    args.push_back(pkg);
    return RunProgram(args);
}

TEST(Pk2updateProfile, InstallsOnceAndKeepsTheRestOfTheProfile)
{
    ScratchDir dir;
    const std::string profile = dir.file("update.ini");
    const std::string target = dir.file("app/firmware.bin");
    const std::string pkg = MakePackage(dir, target);
    WriteFile(profile, PROFILE_BEFORE);

    RunResult first = Update(profile, pkg, false);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "PUBTIME: 0x5F00A1B2\n");
    EXPECT_EQ(first.err, "Update from " + pkg + " ...\n");
    EXPECT_EQ(ReadFile(target), "firmware\n");
    EXPECT_EQ(ReadFile(profile), PROFILE_AFTER);
    EXPECT_TRUE(FileExists(pkg));

    WriteFile(target, "changed since\n");
    RunResult second = Update(profile, pkg, false);
    EXPECT_EQ(second.status, 255);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Update from " + pkg + " ...\nIgnore image.\n");
    EXPECT_EQ(ReadFile(target), "changed since\n");
    EXPECT_EQ(ReadFile(profile), PROFILE_AFTER);
}

TEST(Pk2updateProfile, RemovesThePackageWhateverTheResult)
{
    ScratchDir dir;
    const std::string profile = dir.file("update.ini");
    const std::string target = dir.file("firmware.bin");
    const std::string recorded = "[updimg]\npubtime = 0x5F00A1B2\n";

    std::string pkg = MakePackage(dir, target);
    RunResult first = Update(profile, pkg, true);
    EXPECT_EQ(first.status, 0);
    EXPECT_FALSE(FileExists(pkg));
    EXPECT_EQ(ReadFile(profile), recorded);

    pkg = MakePackage(dir, target);
    RunResult again = Update(profile, pkg, true);
    EXPECT_EQ(again.status, 255);
    EXPECT_EQ(again.err, "Update from " + pkg + " ...\nIgnore image.\n");
    EXPECT_FALSE(FileExists(pkg));
    EXPECT_EQ(ReadFile(profile), recorded);
}

TEST(Pk2updateProfile, FailedVerificationLeavesTheProfile)
{
    ScratchDir dir;
    const std::string profile = dir.file("update.ini");
    const std::string target = dir.file("firmware.bin");
    WriteFile(profile, "[updimg]\npubtime=0x10\n");
    const std::string pkg = MakePackage(dir, target, true);

    RunResult r = Update(profile, pkg, true);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "Update from " + pkg + " ...\nverify pk2 failed.\n");
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(pkg));
    EXPECT_EQ(ReadFile(profile), "[updimg]\npubtime=0x10\n");
}

}  // namespace
