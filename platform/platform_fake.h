// The test double of platform.h: every call is appended to
// platform_fake_calls as one line ("sync", "reboot 0x1234567",
// "mount SRC TARGET FSTYPE FLAGS DATA" with DATA "-" when null,
// "umount TARGET", "system COMMAND"); results come from the
// platform_fake_*_result values, and a failing mount or umount leaves
// errno at ENODEV or EBUSY.
#ifndef PLATFORM_PLATFORM_FAKE_H
#define PLATFORM_PLATFORM_FAKE_H

#include <string>
#include <vector>

extern std::vector<std::string> platform_fake_calls;
extern int platform_fake_mount_result;
extern int platform_fake_umount_result;
extern int platform_fake_reboot_result;
extern int platform_fake_system_result;

void PlatformFakeReset(void);

#endif
