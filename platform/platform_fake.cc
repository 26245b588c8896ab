#include "platform.h"
#include "platform_fake.h"

#include <cerrno>
#include <cstdio>

std::vector<std::string> platform_fake_calls;
int platform_fake_mount_result = 0;
int platform_fake_umount_result = 0;
int platform_fake_reboot_result = -1;
int platform_fake_system_result = 0;

void PlatformFakeReset(void)
{
    platform_fake_calls.clear();
    platform_fake_mount_result = 0;
    platform_fake_umount_result = 0;
    platform_fake_reboot_result = -1;
    platform_fake_system_result = 0;
}

int PlatformMount(const char *source, const char *target, const char *fstype,
                  unsigned long flags, const void *data)
{
    platform_fake_calls.push_back(std::string("mount ") + source + " " + target + " " + fstype +
                                  " " + std::to_string(flags) + " " +
                                  (data ? (const char *)data : "-"));
    if (platform_fake_mount_result != 0)
        errno = ENODEV;
    return platform_fake_mount_result;
}

int PlatformUmount(const char *target)
{
    platform_fake_calls.push_back(std::string("umount ") + target);
    if (platform_fake_umount_result != 0)
        errno = EBUSY;
    return platform_fake_umount_result;
}

void PlatformSync(void)
{
    platform_fake_calls.push_back("sync");
}

int PlatformReboot(int cmd)
{
    char line[32];
    snprintf(line, sizeof line, "reboot 0x%x", (unsigned)cmd);
    platform_fake_calls.push_back(line);
    return platform_fake_reboot_result;
}

int PlatformSystem(const char *command)
{
    platform_fake_calls.push_back(std::string("system ") + command);
    return platform_fake_system_result;
}
