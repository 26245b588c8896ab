// The pieces the profile operations are built on: kinds of line, head and
// key matching, locating a section, saving the rest of a file.
#ifndef PROFILE_PROFILE_INTERNAL_H
#define PROFILE_PROFILE_INTERNAL_H

#include <stdio.h>
#include <stdlib.h>

// One fgets reads at most 999 characters; longer lines come in pieces,
// and each piece counts as a line of its own.
#define PROFILE_LINE_SIZE 1000

// _ForwardLocateSection: the stream could not be read or told.
#define PROFILE_FAILED -2

// White space of the POSIX locale; bytes 128-255 never are.
int profileIsSpace(char c);
// The first non-white character of a line, or null for a blank or
// comment line.
char *jumpOverSpace(char *line);
// Whether the line whose first non-white character is at s heads section.
int profileIsHeadOf(const char *s, const char *section);
// The text right after the "=" when the entry line at s holds key, else null.
char *profileMatchKey(char *s, const char *key);
// Cuts the trailing white space of s.
void profileTrimEnd(char *s);

// Reads from the stream's position (the start of the file) to the first
// head of section. Returns its section start, with the stream right after
// the head line; -1 when there is none, with the stream at the end;
// PROFILE_FAILED when the stream fails. A null line buffer gives -1.
long _ForwardLocateSection(FILE *fp, const char *section, char *line);
// A malloc'd NUL-terminated copy of the rest of the file, or null. When
// length is given it receives the number of bytes saved: 0 when nothing is
// left, -1 when the rest could not be measured, allocated or read.
char *readRestOfFile(FILE *fp, long *length = NULL);
// Writes each string of a section list followed by "\n".
void writeSectionKVPairs(FILE *fp, const char *list);
// Places the stream at pos for writing new lines; ends the line before pos
// first when the text there does not end with one. Returns 0 or -1.
int profileSeekToNewLine(FILE *fp, long pos);

// Closes a stream or frees a block when the function that took it returns.
struct ProfileScopedFile {
    FILE *fp;
    ~ProfileScopedFile() { if (fp != NULL) fclose(fp); }
};
struct ProfileScopedBlock {
    char *block;
    ~ProfileScopedBlock() { free(block); }
};

#endif
