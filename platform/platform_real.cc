#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <unistd.h>

int PlatformMount(const char *source, const char *target, const char *fstype,
                  unsigned long flags, const void *data)
{
    return mount(source, target, fstype, flags, data);
}

int PlatformUmount(const char *target)
{
    return umount(target);
}

void PlatformSync(void)
{
    sync();
}

int PlatformReboot(int cmd)
{
    return reboot(cmd);
}

int PlatformSystem(const char *command)
{
    // What we printed comes before what the command prints.
    fflush(stdout);
    return system(command);
}
