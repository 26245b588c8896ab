// Test double of platform.h: each call is a line of platform_fake_log; reboot always fails.
#pragma once

#include <string>

extern std::string platform_fake_log;
extern bool platform_fake_fail_umount;
extern int platform_fake_system_status;
