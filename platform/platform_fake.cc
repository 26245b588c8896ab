#include "platform.h"
#include "platform_fake.h"

#include <cerrno>

std::string platform_fake_log;
bool platform_fake_fail_umount;
int platform_fake_system_status;

static int logged(const std::string &line, int err)
{
    platform_fake_log += line + "\n";
    errno = err;
    return err ? -1 : 0;
}

int PlatformMount(const char *source, const char *target, const char *fstype, unsigned long flags,
    const void *data)
{
    std::string line = std::string("mount ") + source + " " + target + " " + fstype + " ";
    return logged(line + std::to_string(flags) + " " + (data ? (const char *)data : "-"), 0);
}

int PlatformUmount(const char *target)
{
    return logged(std::string("umount ") + target, platform_fake_fail_umount ? EBUSY : 0);
}

void PlatformSync(void)
{
    logged("sync", 0);
}

int PlatformReboot(int cmd)
{
    return logged("reboot " + std::to_string(cmd), EPERM);
}

int PlatformSystem(const char *command)
{
    return logged(std::string("system ") + command, 0) + platform_fake_system_status;
}
