#include "partition_text.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

char *PartitionFormat(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (len < 0)
        return NULL;
    char *text = (char *)malloc((size_t)len + 1);
    if (!text)
        return NULL;
    va_start(ap, fmt);
    int put = vsnprintf(text, (size_t)len + 1, fmt, ap);
    va_end(ap);
    if (put != len) {
        free(text);
        errno = ENOMEM;
        return NULL;
    }
    return text;
}

char *PartitionShellWord(const char *text)
{
    const char *plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:@%";
    if (*text && strspn(text, plain) == strlen(text))
        return PartitionFormat("%s", text);
    // Each ' becomes '\'' (close, an escaped quote, open again).
    char *word = (char *)malloc(strlen(text) * 4 + 3);
    if (!word)
        return NULL;
    char *p = word;
    *p++ = '\'';
    for (; *text; text++) {
        if (*text == '\'') {
            memcpy(p, "'\\''", 4);
            p += 4;
        } else {
            *p++ = *text;
        }
    }
    *p++ = '\'';
    *p = '\0';
    return word;
}
