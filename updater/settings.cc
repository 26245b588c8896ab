#include "settings.h"

#include <stddef.h>

uint32_t identifier = IDENT_VERIFY_ONLY;
const char *inifile = NULL;
int remove_after_process = 0;
int reboot_after_process = 0;
const char *image_path = NULL;
const char *mount_dir = NULL;
int verbose = 0;
