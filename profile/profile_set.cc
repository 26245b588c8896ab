// Writing values and whole sections. Changes are made in place through
// one "r+" stream: the text after the point of change is saved, the new
// text and the saved text are written, and the file is cut at their end.
// Everything is allocated and read before the first byte is written, so a
// failed allocation or read leaves the file as it was.
#include "profile.h"
#include "profile_internal.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#define INT_TEXT_SIZE 16

// Writes the saved rest at the stream's position and cuts the file after
// it; 0, or -1 when the text did not all reach the file.
static int finish_rewrite(FILE *fp, const char *rest, long length)
{
    if (length > 0)
        fwrite(rest, 1, (size_t)length, fp);
    if (fflush(fp) != 0 || ferror(fp))
        return -1;
    long end = ftell(fp);
    return end >= 0 && ftruncate(fileno(fp), end) == 0 ? 0 : -1;
}

// Opens a profile for a writer: "r+" when it can be, else (when may_create)
// a new file with "w". *created tells whether a missing file was made.
static FILE *open_for_change(const char *path, int may_create, int *opened, int *created)
{
    FILE *fp = fopen(path, "r+");

    *opened = fp != NULL;
    *created = 0;
    if (fp == NULL && may_create) {
        int missing = errno == ENOENT;
        fp = fopen(path, "w");
        *created = fp != NULL && missing;
    }
    return fp;
}

// Closes a stream a writer made a new file with; a new file whose writing
// failed is removed rather than left half written. 0, or -1 on a failure.
static int close_new_file(FILE *fp, const char *path, int created)
{
    int failed = ferror(fp);

    if (fclose(fp) != 0)
        failed = 1;
    if (failed && created)
        unlink(path);
    return failed ? -1 : 0;
}

// Replaces the key's entry line of the section the stream stands in, or
// adds one after the section's last entry line. 0, or -1 on a failure.
static int rewrite_entry(FILE *fp, const char *key, const char *value, char *line)
{
    long insert_at = ftell(fp);
    long rest_at = -1;
    int found = 0;

    while (insert_at >= 0 && fgets(line, PROFILE_LINE_SIZE, fp) != NULL) {
        char *s = jumpOverSpace(line);
        if (s == NULL)
            continue;
        if (*s == '[')
            break;
        if (profileMatchKey(s, key) != NULL) {
            // The comment and blank lines above the old entry go with it.
            rest_at = ftell(fp);
            found = 1;
            break;
        }
        insert_at = ftell(fp);
    }
    if (!found)
        rest_at = insert_at;
    long length;
    if (ferror(fp) || rest_at < 0 || fseek(fp, rest_at, SEEK_SET) != 0)
        return -1;
    ProfileScopedBlock rest = {readRestOfFile(fp, &length)};
    if (length < 0 || profileSeekToNewLine(fp, insert_at) != 0)
        return -1;
    fprintf(fp, "%s=%s\n", key, value);
    return finish_rewrite(fp, rest.block, length);
}

int SetProfileString(const char *path, const char *section, const char *key,
                     const char *value)
{
    ProfileScopedBlock line = {(char *)malloc(PROFILE_LINE_SIZE)};
    int opened, created;

    if (line.block == NULL)
        return -1;
    FILE *fp = open_for_change(path, 1, &opened, &created);
    if (fp == NULL)
        return -1;
    long start = opened ? _ForwardLocateSection(fp, section, line.block) : -1;
    int written = -1;
    if (start >= 0) {
        written = rewrite_entry(fp, key, value, line.block);
    } else if (start == -1 && (!opened || fseek(fp, 0, SEEK_END) == 0)) {
        long end = ftell(fp);
        if (end >= 0 && profileSeekToNewLine(fp, end) == 0 &&
            fprintf(fp, "[%s]\n%s = %s\n", section, key, value) > 0)
            written = 0;
    }
    // A full medium shows only when the stream's buffer goes out here.
    int closed = opened ? fclose(fp) : close_new_file(fp, path, created);
    return written == 0 && closed == 0 ? 0 : -1;
}

int SetProfileInt(const char *path, const char *section, const char *key, int value)
{
    char text[INT_TEXT_SIZE];
    int n = snprintf(text, sizeof text, "%d", value);

    if (n < 0 || (size_t)n >= sizeof text)
        return -1;
    return SetProfileString(path, section, key, text);
}

// Replaces the body of the section the stream stands in with list; an
// empty list removes the section from its start on.
static void rewrite_section(FILE *fp, long start, const char *list, char *line)
{
    long write_at = *list != '\0' ? ftell(fp) : start;
    long rest_at;

    // The body's lines are all dropped; the rest begins at the next head.
    for (;;) {
        rest_at = ftell(fp);
        if (rest_at < 0 || fgets(line, PROFILE_LINE_SIZE, fp) == NULL)
            break;
        char *s = jumpOverSpace(line);
        if (s != NULL && *s == '[')
            break;
    }
    long length;
    if (write_at < 0 || rest_at < 0 || ferror(fp) || fseek(fp, rest_at, SEEK_SET) != 0)
        return;
    ProfileScopedBlock rest = {readRestOfFile(fp, &length)};
    if (length < 0)
        return;
    if (*list != '\0') {
        if (profileSeekToNewLine(fp, write_at) != 0)
            return;
        writeSectionKVPairs(fp, list);
    } else if (fseek(fp, write_at, SEEK_SET) != 0) {
        return;
    }
    finish_rewrite(fp, rest.block, length);
}

// Adds the section at the end of an open profile.
static void append_section(FILE *fp, const char *section, const char *list)
{
    if (fseek(fp, 0, SEEK_END) != 0)
        return;
    long end = ftell(fp);
    if (end < 0 || profileSeekToNewLine(fp, end) != 0)
        return;
    fprintf(fp, "[%s]\n", section);
    writeSectionKVPairs(fp, list);
}

void SetProfileSection(const char *path, const char *section, const char *list)
{
    ProfileScopedBlock line = {(char *)malloc(PROFILE_LINE_SIZE)};
    int opened, created;

    if (line.block == NULL || list == NULL)
        return;
    // An empty list never creates anything.
    FILE *fp = open_for_change(path, *list != '\0', &opened, &created);
    if (fp == NULL)
        return;
    if (!opened) {
        fprintf(fp, "[%s]\n", section);
        writeSectionKVPairs(fp, list);
        close_new_file(fp, path, created);
        return;
    }
    long start = _ForwardLocateSection(fp, section, line.block);
    if (start >= 0)
        rewrite_section(fp, start, list, line.block);
    else if (start == -1 && *list != '\0')
        append_section(fp, section, list);
    fclose(fp);
}
