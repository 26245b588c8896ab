// Kinds of line and the matching of heads and keys.
#include "profile_internal.h"

#include <string.h>

static char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

int profileIsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char *jumpOverSpace(char *line)
{
    while (profileIsSpace(*line))
        line++;
    if (*line == '\0' || *line == ';' || *line == '#')
        return NULL;
    return line;
}

int profileIsHeadOf(const char *s, const char *section)
{
    if (*s++ != '[')
        return 0;
    // A NUL in s never equals a character of section, so this stops in time.
    for (; *section != '\0'; s++, section++) {
        if (ascii_lower(*s) != ascii_lower(*section))
            return 0;
    }
    return *s == ']';
}

char *profileMatchKey(char *s, const char *key)
{
    for (; *key != '\0'; s++, key++) {
        if (ascii_lower(*s) != ascii_lower(*key))
            return NULL;
    }
    while (profileIsSpace(*s))
        s++;
    return *s == '=' ? s + 1 : NULL;
}

void profileTrimEnd(char *s)
{
    size_t n = strlen(s);

    while (n > 0 && profileIsSpace(s[n - 1]))
        n--;
    s[n] = '\0';
}
