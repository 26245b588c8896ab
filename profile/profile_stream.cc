// Walking a profile stream: locating a section, saving what follows a
// change, writing section lists.
#include "profile_internal.h"

#include <string.h>
#include <sys/stat.h>

long _ForwardLocateSection(FILE *fp, const char *section, char *line)
{
    long start = 0;

    if (line == NULL)
        return -1;
    while (fgets(line, PROFILE_LINE_SIZE, fp) != NULL) {
        char *s = jumpOverSpace(line);
        if (s == NULL)
            continue;
        if (profileIsHeadOf(s, section))
            return start;
        // Blank and comment lines above a head belong to its section.
        start = ftell(fp);
        if (start < 0)
            return PROFILE_FAILED;
    }
    return ferror(fp) ? PROFILE_FAILED : -1;
}

static long remaining_length(FILE *fp)
{
    struct stat st;
    long pos = ftell(fp);

    if (pos < 0 || fstat(fileno(fp), &st) != 0)
        return -1;
    return st.st_size > pos ? (long)(st.st_size - pos) : 0;
}

char *readRestOfFile(FILE *fp, long *length)
{
    long n = remaining_length(fp);
    char *rest = NULL;

    if (n > 0) {
        rest = (char *)malloc((size_t)n + 1);
        // A short read would make a writer drop the end of the file.
        if (rest == NULL || fread(rest, 1, (size_t)n, fp) != (size_t)n) {
            free(rest);
            rest = NULL;
            n = -1;
        } else {
            rest[n] = '\0';
        }
    }
    if (length != NULL)
        *length = n;
    return rest;
}

void writeSectionKVPairs(FILE *fp, const char *list)
{
    if (list == NULL)
        return;
    for (; *list != '\0'; list += strlen(list) + 1) {
        fputs(list, fp);
        fputc('\n', fp);
    }
}

int profileSeekToNewLine(FILE *fp, long pos)
{
    int before = '\n';

    if (pos > 0) {
        if (fseek(fp, pos - 1, SEEK_SET) != 0)
            return -1;
        before = fgetc(fp);
    }
    if (fseek(fp, pos, SEEK_SET) != 0)
        return -1;
    // Without this a new line would continue a last line that lacks its
    // newline ("x=1[updimg]").
    if (before != '\n' && fputc('\n', fp) == EOF)
        return -1;
    return 0;
}
