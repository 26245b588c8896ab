// pk2update: installs pk2 packages, from a given path or from every local
// partition, verifies them, or prints a file's MD5.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "digest.h"
#include "partition.h"
#include "pk2.h"
#include "settings.h"
#include "update.h"

// What the scan found besides the settings globals.
struct ModeChoice {
    int md5;              // --md5 was given
    const char *package;  // the last argument that is not an option
};

static int usage(const char *prog)
{
    printf("Usage:\n%s -h|-?\n"
           "%s -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] "
           "[[-i image_path_in_partition] | pk2_file_path]\n"
           "%s --md5 file\n"
           "\t-d\tidentier the image should match\n"
           "\t-c\tinifile to save pubtime of image\n"
           "\t-b\treboot after process updating.\n"
           "\t-r\tremove pk2 file after process updating.\n"
           "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
           "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n"
           "\t-V\tverbose\n"
           "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" "
           "of partition\n",
           prog, prog, prog);
    return 1;
}

// Reads an identifier as strtoul with base 0 does on the device (so -1
// is 0xFFFFFFFF). Empty text, trailing junk and values beyond 32 bits
// are refused: read as 0 or cut short they would match any package.
static int parse_identifier(const char *text, uint32_t *ident)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    int negative = *p == '-';
    char *end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    unsigned long long magnitude = negative ? 0 - value : value;
    if (end == text || *end != '\0' || errno != 0 || magnitude > 0xFFFFFFFFull) {
        fprintf(stderr, "Invalid identifier: %s\n", text);
        return -1;
    }
    *ident = (uint32_t)value;
    return 0;
}

static int takes_value(const char *arg)
{
    return !strcmp(arg, "-d") || !strcmp(arg, "-m") || !strcmp(arg, "-c") ||
           !strcmp(arg, "-i");
}

// Stores the value of -d, -m, -c or -i; returns -1 for a bad identifier.
static int set_value(const char *option, const char *value)
{
    switch (option[1]) {
    case 'd':
        return parse_identifier(value, &identifier);
    case 'm':
        mount_dir = value;
        break;
    case 'c':
        inifile = value;
        break;
    default:
        image_path = value;
        break;
    }
    return 0;
}

// Scans the arguments in order, each tested against the options in the
// order of the usage text. Returns 1 when the usage text is due.
static int scan_arguments(int argc, char **argv, ModeChoice *choice)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!strcmp(arg, "-h") || strchr(arg, '?'))
            return 1;
        if (!strcmp(arg, "-b")) {
            reboot_after_process = 1;
        } else if (!strcmp(arg, "-r")) {
            remove_after_process = 1;
        } else if (takes_value(arg)) {
            // The value is the next argument, whatever it looks like;
            // an option standing last has none.
            if (i + 1 >= argc || set_value(arg, argv[i + 1]) != 0)
                return 1;
            i++;
        } else if (!strcmp(arg, "--md5")) {
            choice->md5 = 1;
        } else if (!strcmp(arg, "-V")) {
            verbose = 1;
        } else if (arg[0] == '-') {
            fprintf(stderr, "Unrecognized option: %s\n", arg);
        } else {
            choice->package = arg;
        }
    }
    return 0;
}

// Without a package, every local partition is visited; the status is
// how many were handled.
static int run_update(const char *package)
{
    return package ? updateFromPk2(package) : CheckLocalPartitions();
}

static int run_verify(const char *package, const char *prog)
{
    if (!package)
        return usage(prog);
    return exec_pk2(package, IDENT_VERIFY_ONLY, NULL);
}

static int run_mode(const ModeChoice *choice, const char *prog)
{
    if (choice->md5)
        return choice->package ? printFileDigest(choice->package) : usage(prog);
    if (identifier != IDENT_VERIFY_ONLY)
        return run_update(choice->package);
    return run_verify(choice->package, prog);
}

int main(int argc, char **argv)
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "pk2update";
    ModeChoice choice = {0, NULL};

    if (scan_arguments(argc, argv, &choice) != 0)
        return usage(prog);
    // The status keeps the low 8 bits: -1 becomes 255, -2 becomes 254.
    return run_mode(&choice, prog) & 0xff;
}
