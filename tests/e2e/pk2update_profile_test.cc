// Runs the built pk2update with a profile: the publication time is recorded
// once, a second run of the same package is refused, and everything else in
// the profile stays as it was.
#include <string>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

// Other sections, comments, a CR LF line and a blank tail around [UpdImg];
// the pubtime line goes between HEAD and TAIL.
const std::string HEAD = "; camera settings\n[net]\nip = 192.168.1.10\r\n# keep this\n\n[UpdImg]\nchannel=beta\n";
const std::string TAIL = "\n; end of updimg\n[video]\nfps=25";

TEST(Pk2updateProfile, InstallsOnceKeepsTheRestOfTheProfileAndRemovesWithR)
{
    ScratchDir dir;
    const std::string profile = dir.file("update.ini"), pkg = dir.file("update.pk2");
    const std::string target = dir.file("app/firmware.bin"), after = HEAD + "pubtime=0x5F00A1B2\n" + TAIL;
    ASSERT_TRUE(PackWrite(pkg, {.ident = 0x2A, .pubtime = 0x5F00A1B2, .entries = {PackFile(target, "firmware\n")}}));
    WriteFile(profile, HEAD + TAIL);

    RunResult first = RunProgram({BuiltProgram("pk2update"), "-d", "42", "-c", profile, pkg});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "PUBTIME: 0x5F00A1B2\n");
    EXPECT_EQ(first.err, "Update from " + pkg + " ...\n");
    EXPECT_EQ(ReadFile(target), "firmware\n");
    EXPECT_EQ(ReadFile(profile), after);
    EXPECT_TRUE(FileExists(pkg));

    // The same package again is refused and installs nothing; -r deletes it all the same.
    WriteFile(target, "changed since\n");
    RunResult second = RunProgram({BuiltProgram("pk2update"), "-d", "42", "-c", profile, "-r", pkg});
    EXPECT_EQ(second.status, 255);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Update from " + pkg + " ...\nIgnore image.\n");
    EXPECT_EQ(ReadFile(target), "changed since\n");
    EXPECT_EQ(ReadFile(profile), after);
    EXPECT_FALSE(FileExists(pkg));
}

}  // namespace
