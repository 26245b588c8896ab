#include "update.h"

#include <stdio.h>
#include <stdlib.h>

#include "pk2.h"
#include "platform.h"
#include "profile.h"
#include "settings.h"

#define PUBTIME_SECTION "updimg"
#define PUBTIME_KEY "pubtime"
#define RESTART_CMD 0x01234567

// strtoul with base 0 as a 32-bit C library does it, also where long is
// wider: a negated number wraps modulo 2^32, one too large saturates.
static uint32_t read_unsigned32(const char *text)
{
    const char *p = text;

    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    int negative = *p == '-';
    unsigned long value = strtoul(text, NULL, 0);
    unsigned long magnitude = negative ? 0ul - value : value;
    if (magnitude > 0xFFFFFFFFul)
        return 0xFFFFFFFFu;
    return (uint32_t)value;
}

// The publication time of the package installed last, or 0 when none is
// recorded. Stored text may be decimal, octal or hexadecimal.
static uint32_t load_pubtime(void)
{
    char text[32];

    if (inifile == NULL)
        return 0;
    if (GetProfileString(inifile, PUBTIME_SECTION, PUBTIME_KEY, text, sizeof text) != 1)
        return 0;
    return read_unsigned32(text);
}

// 0, or -1 when the record could not be written: the card would then
// take the same package again at every start.
static int store_pubtime(uint32_t pubtime)
{
    char text[16];
    int n = snprintf(text, sizeof text, "0x%X", (unsigned)pubtime);

    if (n < 0 || (size_t)n >= sizeof text ||
        SetProfileString(inifile, PUBTIME_SECTION, PUBTIME_KEY, text) != 0) {
        fprintf(stderr, "Can't save pubtime to %s\n", inifile);
        return -1;
    }
    return 0;
}

int updateFromPk2(const char *path)
{
    uint32_t pubtime = load_pubtime();

    fprintf(stderr, "Update from %s ...\n", path);
    int result = exec_pk2(path, identifier, &pubtime);
    if (result == 0 && inifile != NULL && pubtime != 0)
        result = store_pubtime(pubtime);
    if (remove_after_process)
        remove(path);
    if (result == 0 && reboot_after_process) {
        // Into a pipe or a file stdout is fully buffered; the restart
        // would drop what the run printed.
        fflush(stdout);
        PlatformSync();
        PlatformReboot(RESTART_CMD);
    }
    return result;
}
