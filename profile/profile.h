// INI profile files: named values in sections, read and rewritten in place.
#ifndef PROFILE_PROFILE_H
#define PROFILE_PROFILE_H

int GetProfileString(const char *path, const char *section, const char *key,
                     char *out, int size);
int GetProfileInt(const char *path, const char *section, const char *key, int def);
// A malloc'd list of NUL-terminated "key=value" strings ended by an empty
// string, or null; the caller frees it.
char *GetProfileSection(const char *path, const char *section);
// The writers of one value return 0 once it is in the file, -1 when the
// file could not be opened or written.
int SetProfileString(const char *path, const char *section, const char *key,
                     const char *value);
int SetProfileInt(const char *path, const char *section, const char *key, int value);
// An empty list deletes the section.
void SetProfileSection(const char *path, const char *section, const char *list);

#endif
