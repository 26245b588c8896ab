#include "platform.h"
#include "platform_fake.h"

#include <cerrno>

std::string platform_fake_log;
bool platform_fake_fail_mount, platform_fake_fail_umount;
int platform_fake_system_status;

static int logged(const std::string &line, bool fail, int err)
{
    platform_fake_log += line + "\n";
    errno = fail ? err : errno;
    return fail ? -1 : 0;
}

int PlatformMount(const char *source, const char *target, const char *fstype, unsigned long flags,
    const void *data)
{
    return logged(std::string("mount ") + source + " " + target + " " + fstype + " "
            + std::to_string(flags) + " " + (data ? (const char *)data : "-"),
        platform_fake_fail_mount, ENODEV);
}

int PlatformUmount(const char *target)
{
    return logged(std::string("umount ") + target, platform_fake_fail_umount, EBUSY);
}

void PlatformSync(void)
{
    logged("sync", false, 0);
}

int PlatformReboot(int cmd)
{
    return logged("reboot " + std::to_string(cmd), true, EPERM);
}

int PlatformSystem(const char *command)
{
    return logged(std::string("system ") + command, false, 0) + platform_fake_system_status;
}
