// What touches the whole device: mounting, syncing, restarting and the
// shell commands that check and clean a partition.
// The programs link platform_real; unit tests link platform_fake, which
// records each call and returns what the test chose, so no test can
// mount anything on the host or restart it.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

int PlatformMount(const char *source, const char *target, const char *fstype,
                  unsigned long flags, const void *data);
int PlatformUmount(const char *target);
void PlatformSync(void);
int PlatformReboot(int cmd);
// Runs command through the shell; the status system() gives.
int PlatformSystem(const char *command);

#endif
