// Process-wide settings of morv, set by the command line.
#ifndef RELAY_SETTINGS_H
#define RELAY_SETTINGS_H

#define MAX_DUMP_PATHS 4
#define MAX_COPY_FILES 10
#define MAX_DUMP_CMDS 10

extern const char *dump_out_paths[MAX_DUMP_PATHS];
extern int dump_path_flag[MAX_DUMP_PATHS]; // 0: numbered names (-o), 1: overwrite (-O)
extern int n_dump_path;
extern const char *copy_files[MAX_COPY_FILES];
extern int n_copy_file;
extern const char *dump_cmds[MAX_DUMP_CMDS];
extern int n_dump_cmd;
extern const char *acmd_list; // comma-separated allowed command names, or null

#endif
