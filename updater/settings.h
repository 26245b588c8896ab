// Process-wide settings of pk2update, set by the command line.
#ifndef UPDATER_SETTINGS_H
#define UPDATER_SETTINGS_H

#include <stdint.h>

#define IDENT_VERIFY_ONLY 0xFFFFFFFFu

extern uint32_t identifier;        // IDENT_VERIFY_ONLY when -d is not given
extern const char *inifile;        // profile keeping the last pubtime, or null
extern int remove_after_process;   // -r: delete the package afterwards
extern int reboot_after_process;   // -b: restart after a successful install
extern const char *image_path;     // -i: package path inside a partition, or null
extern const char *mount_dir;      // -m: where partitions are mounted, or null
extern int verbose;                // -V

#endif
