// The test double of platform.h: every call is appended to platform_fake_log
// as one line ("mount SRC TARGET FSTYPE FLAGS DATA", DATA "-" when null;
// "umount TARGET", "system COMMAND", "sync", "reboot CMD" in decimal). A mount or
// umount fails (errno ENODEV, EBUSY) while its fail flag is set; system
// returns platform_fake_system_status.
#pragma once

#include <string>

extern std::string platform_fake_log;
extern bool platform_fake_fail_mount, platform_fake_fail_umount;
extern int platform_fake_system_status;
