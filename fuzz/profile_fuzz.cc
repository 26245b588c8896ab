// Random profile files through every reader; every writer followed by a
// read-back that must return what was written.
//
// Input: integers from the end (operation, buffer size, an int value, the
// number of list entries), then from the front the section name, key,
// value and list entries as "\"-terminated strings; the rest of the bytes
// are the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "profile.h"
#include "profile_internal.h"

namespace {

const std::string &ScratchFile()
{
    static std::string path;
    if (path.empty()) {
        char tmpl[] = "/tmp/profile_fuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        static std::string dir = tmpl;
        atexit([] { std::filesystem::remove_all(dir); });
        path = dir + "/profile.ini";
    }
    return path;
}

void WriteFile(const std::string &text)
{
    std::ofstream(ScratchFile(), std::ios::binary | std::ios::trunc) << text;
}

std::string CString(std::string s)
{
    return s.substr(0, strlen(s.c_str()));
}

bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Text a name, key or value may hold and still read back as written: one
// line (the readers split at line ends), nothing the readers trim at either
// end, and no start that makes a comment or a head of the written line.
// Keys end at the first "=" and names at the first "]", so those are out.
bool Holdable(const std::string &s, const char *forbidden)
{
    if (s.find_first_of("\n\r") != std::string::npos ||
        s.find_first_of(forbidden) != std::string::npos)
        return false;
    if (s.empty())
        return true;
    if (IsSpace(s.front()) || IsSpace(s.back()))
        return false;
    return s.front() != ';' && s.front() != '#' && s.front() != '[';
}

void RunReaders(const char *section, const char *key, int size)
{
    const char *path = ScratchFile().c_str();
    std::vector<char> out(size, 'u');
    if (GetProfileString(path, section, key, out.data(), size) == 1 &&
        strlen(out.data()) > (size_t)size - 1)
        abort();
    GetProfileInt(path, section, key, 7);
    char *list = GetProfileSection(path, section);
    if (list != nullptr) {
        for (const char *s = list; *s != '\0'; s += strlen(s) + 1) {
            if (strchr(s, '=') == nullptr)
                abort();
        }
    }
    free(list);
}

// Heads of section in the file; *pieces is set when a line came in pieces.
int CountHeads(const char *section, bool *pieces)
{
    FILE *fp = fopen(ScratchFile().c_str(), "r");
    char line[PROFILE_LINE_SIZE];
    int heads = 0;
    *pieces = false;
    while (fp != nullptr && fgets(line, sizeof line, fp) != nullptr) {
        size_t n = strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n')
            *pieces = true;
        char *s = jumpOverSpace(line);
        if (s != nullptr && profileIsHeadOf(s, section))
            heads++;
    }
    if (fp != nullptr)
        fclose(fp);
    return heads;
}

void CheckString(const std::string &section, const std::string &key, const std::string &value)
{
    const char *path = ScratchFile().c_str();
    SetProfileString(path, section.c_str(), key.c_str(), value.c_str());
    char out[1024];
    if (GetProfileString(path, section.c_str(), key.c_str(), out, sizeof out) != 1 || value != out)
        abort();
}

void CheckInt(const std::string &section, const std::string &key, int value)
{
    const char *path = ScratchFile().c_str();
    SetProfileInt(path, section.c_str(), key.c_str(), value);
    if (GetProfileInt(path, section.c_str(), key.c_str(), value ^ 1) != value)
        abort();
}

void CheckSection(const std::string &section, const std::vector<std::string> &entries)
{
    const char *path = ScratchFile().c_str();
    std::string list;
    for (const std::string &e : entries)
        list += e + '\0';
    list += '\0';
    bool pieces;
    int heads = CountHeads(section.c_str(), &pieces);
    SetProfileSection(path, section.c_str(), list.data());
    if (entries.empty()) {
        // A line cut in pieces can join up differently once text is cut out.
        int after = CountHeads(section.c_str(), &pieces);
        if (!pieces && after != (heads > 0 ? heads - 1 : 0))
            abort();
        return;
    }
    char *got = GetProfileSection(path, section.c_str());
    if (got == nullptr)
        abort();
    const char *s = got;
    for (const std::string &e : entries) {
        if (e != s)
            abort();
        s += strlen(s) + 1;
    }
    if (*s != '\0')
        abort();
    free(got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int op = in.ConsumeIntegralInRange<int>(0, 3);
    int out_size = in.ConsumeIntegralInRange<int>(1, 64);
    int number = in.ConsumeIntegral<int>();
    int n_entries = in.ConsumeIntegralInRange<int>(0, 4);
    std::string section = CString(in.ConsumeRandomLengthString(64));
    std::string key = CString(in.ConsumeRandomLengthString(64));
    std::string value = CString(in.ConsumeRandomLengthString(128));
    std::vector<std::string> entries;
    bool entries_holdable = true;
    for (int i = 0; i < n_entries; i++) {
        std::string k = CString(in.ConsumeRandomLengthString(32));
        std::string v = CString(in.ConsumeRandomLengthString(64));
        entries_holdable = entries_holdable && Holdable(k, "=") && Holdable(v, "");
        entries.push_back(k + "=" + v);
    }
    WriteFile(in.ConsumeRemainingBytesAsString());

    RunReaders(section.c_str(), key.c_str(), out_size);
    bool holdable = Holdable(section, "]") && Holdable(key, "=");
    switch (op) {
    case 0:
        if (holdable && Holdable(value, ""))
            CheckString(section, key, value);
        else
            SetProfileString(ScratchFile().c_str(), section.c_str(), key.c_str(), value.c_str());
        break;
    case 1:
        if (holdable)
            CheckInt(section, key, number);
        else
            SetProfileInt(ScratchFile().c_str(), section.c_str(), key.c_str(), number);
        break;
    case 2:
        if (Holdable(section, "]") && entries_holdable)
            CheckSection(section, entries);
        break;
    default:
        if (Holdable(section, "]"))
            CheckSection(section, {});
        break;
    }
    RunReaders(section.c_str(), key.c_str(), out_size);
    return 0;
}
