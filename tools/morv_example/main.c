/* morv_example: sends its argument lines to the morv relay through
 * morv_cli, or runs a command through RSYSTEM.
 *
 *   morv_example [-o own_path] line...   each line is one write of stdout,
 *                                        so one log datagram
 *   morv_example -r command              prints RSYSTEM's result and errno
 *
 * Without a relay the lines go to standard output as before, and the
 * status is 1. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "relayclient.h"

#define UNTOUCHED EALREADY /* any value that RSYSTEM must leave alone */

static int runCommand(const char *cmd)
{
    errno = UNTOUCHED;
    int result = RSYSTEM(cmd);
    int err = errno;
    if (err == UNTOUCHED)
        printf("RSYSTEM: %d, errno untouched\n", result);
    else
        printf("RSYSTEM: %d, errno %d\n", result, err);
    return 0;
}

static void writeLine(const char *text)
{
    char line[4096];
    int n = snprintf(line, sizeof line, "%s\n", text);
    if (n < 0 || (size_t)n >= sizeof line)
        return;
    if (write(1, line, (size_t)n) != n) {
        /* a relay that is gone takes nothing */
    }
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-r") == 0)
        return runCommand(argv[2]);
    const char *own_path = NULL;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-o") == 0) {
        own_path = argv[2];
        first = 3;
    }
    int fd = morv_cli(own_path);
    if (fd < 0)
        fprintf(stderr, "morv_example: morv_cli gave %d: %s\n", fd, strerror(errno));
    for (int i = first; i < argc; i++)
        writeLine(argv[i]);
    return fd < 0 ? 1 : 0;
}
