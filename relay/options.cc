#include "options.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "settings.h"

static const char USAGE[] =
    "As server, send anything received on unix socket /var/run/morv.sock to tcp clients.\n"
    "Usage: morv [-s [[-b buffer_size] [-v] [-p port_listen]] [-m max_file] "
    "[-e|E 'commands to execute before dump'] [-c commands_list]"
    "[-a file_to_dump_1 [-a file_to_dump_2...] -o|O dump_file_1 [ -o|O dump_file_2 ...]]]\n"
    "\t-s as server\n"
    "\t-b buffer size in K. default is 8\n"
    "\t-v \n"
    "\t-m maximum log file count. default is 20 \n"
    "\t-a file to be added to dump-out\n"
    "\t-o dump_file_x... path of output file, in prefered sequence\n"
    "\t-O same -o, but will overwrite old file\n"
    "\t-c comma seperated allowed commands list\n"
    "\n"
    "As client, send any input from stdin to /var/run/morv.cock";

void printUsage(void)
{
    puts(USAGE);
    exit(1);
}

// -o and -O share the places; later paths are dropped silently.
static void addDumpPath(const char *path, int overwrite)
{
    if (n_dump_path >= MAX_DUMP_PATHS)
        return;
    dump_out_paths[n_dump_path] = path;
    dump_path_flag[n_dump_path] = overwrite;
    n_dump_path++;
}

static void addCopyFile(const char *path)
{
    if (n_copy_file < MAX_COPY_FILES)
        copy_files[n_copy_file++] = path;
}

static void addDumpCmd(const char *cmd)
{
    if (n_dump_cmd < MAX_DUMP_CMDS)
        dump_cmds[n_dump_cmd++] = cmd;
}

int RelayParseOptions(int argc, char **argv, RelayOptions *opt)
{
    *opt = RelayOptions{0, 0, 8, 3201, 20, 0};
    int c;
    while ((c = getopt(argc, argv, "sBb:p:a:o:O:e:E:c:m:vh?")) != -1) {
        switch (c) {
        case 's': opt->server = 1; break;
        case 'B': opt->detach = 1; break;
        case 'b': opt->buffer_size = atoi(optarg); break;
        case 'p': opt->port_listen = atoi(optarg); break;
        case 'm': opt->max_file = atoi(optarg); break;
        case 'v': opt->verbose = 1; break;
        case 'a': addCopyFile(optarg); break;
        case 'o': addDumpPath(optarg, 0); break;
        case 'O': addDumpPath(optarg, 1); break;
        case 'e':
        case 'E': addDumpCmd(optarg); break;
        case 'c': acmd_list = optarg; break;
        default: return -1; // -h, -?, unknown option, missing argument
        }
    }
    return 0;
}
