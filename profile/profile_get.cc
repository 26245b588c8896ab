// Reading values and whole sections from a profile file.
#include "profile.h"
#include "profile_internal.h"

#include <limits.h>
#include <string.h>

#define INT_TEXT_SIZE 20
#define SECTION_GROWTH 1000

// Copies the value after "=" without its surrounding white space.
static void copy_value(char *value, char *out, int size)
{
    while (profileIsSpace(*value))
        value++;
    profileTrimEnd(value);
    size_t n = strlen(value);
    if (n > (size_t)size - 1)
        n = (size_t)size - 1;
    memcpy(out, value, n);
    out[n] = '\0';
}

int GetProfileString(const char *path, const char *section, const char *key,
                     char *out, int size)
{
    if (out == NULL || size < 1)
        return 0;
    ProfileScopedFile file = {fopen(path, "r")};
    if (file.fp == NULL)
        return 0;
    ProfileScopedBlock line = {(char *)malloc(PROFILE_LINE_SIZE)};
    if (_ForwardLocateSection(file.fp, section, line.block) < 0)
        return 0;
    // Heads do not end the search: a later section may supply the key.
    while (fgets(line.block, PROFILE_LINE_SIZE, file.fp) != NULL) {
        char *s = jumpOverSpace(line.block);
        char *value = s != NULL ? profileMatchKey(s, key) : NULL;
        if (value != NULL) {
            copy_value(value, out, size);
            return 1;
        }
    }
    return 0;
}

int GetProfileInt(const char *path, const char *section, const char *key, int def)
{
    char text[INT_TEXT_SIZE];

    if (GetProfileString(path, section, key, text, sizeof text) != 1)
        return def;
    // Decimal only, like atoi, but a number out of range saturates
    // instead of being undefined.
    long value = strtol(text, NULL, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

// Appends "key=value" of the entry line s (holding "=" at eq) to the list
// block. Returns 0, or -1 when the block cannot grow (it is then freed).
static int append_entry(char *s, char *eq, char **block, size_t *capacity, size_t *fill)
{
    profileTrimEnd(s);
    size_t line_length = strlen(s);
    // Room for the entry and the empty string that ends the list. One step
    // is not always enough: a 999-character entry fills a block exactly.
    size_t wanted = *capacity;
    while (wanted <= *fill + line_length + 1)
        wanted += SECTION_GROWTH;
    if (wanted != *capacity) {
        char *grown = (char *)realloc(*block, wanted);
        if (grown == NULL) {
            free(*block);
            *block = NULL;
            return -1;
        }
        *block = grown;
        *capacity = wanted;
    }
    char *key_end = eq;
    while (key_end > s && profileIsSpace(key_end[-1]))
        key_end--;
    char *value = eq + 1;
    while (profileIsSpace(*value))
        value++;
    size_t key_length = (size_t)(key_end - s);
    size_t value_length = strlen(value);
    char *to = *block + *fill;
    memcpy(to, s, key_length);
    to[key_length] = '=';
    memcpy(to + key_length + 1, value, value_length + 1);
    *fill += key_length + 1 + value_length + 1;
    return 0;
}

char *GetProfileSection(const char *path, const char *section)
{
    ProfileScopedFile file = {fopen(path, "r")};
    if (file.fp == NULL)
        return NULL;
    ProfileScopedBlock line = {(char *)malloc(PROFILE_LINE_SIZE)};
    if (_ForwardLocateSection(file.fp, section, line.block) < 0)
        return NULL;
    char *block = NULL;
    size_t capacity = 0;
    size_t fill = 0;
    while (fgets(line.block, PROFILE_LINE_SIZE, file.fp) != NULL) {
        char *s = jumpOverSpace(line.block);
        if (s == NULL)
            continue;
        if (*s == '[')
            break;
        char *eq = strchr(s, '=');
        if (eq != NULL && append_entry(s, eq, &block, &capacity, &fill) != 0)
            return NULL;
    }
    // Every append left room for the closing empty string.
    if (block != NULL)
        block[fill] = '\0';
    return block;
}
