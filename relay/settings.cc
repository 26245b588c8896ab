#include "settings.h"

#include <stddef.h>

const char *dump_out_paths[MAX_DUMP_PATHS];
int dump_path_flag[MAX_DUMP_PATHS];
int n_dump_path;
const char *copy_files[MAX_COPY_FILES];
int n_copy_file;
const char *dump_cmds[MAX_DUMP_CMDS];
int n_dump_cmd;
const char *acmd_list = NULL;
