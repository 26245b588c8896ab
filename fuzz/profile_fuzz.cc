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

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "profile.h"
#include "profile_internal.h"

namespace {

const char *Path()
{
    static const std::string path = [] {
        char tmpl[] = "/tmp/profile_fuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        static const std::string dir = tmpl;  // made before the exit handler that uses it
        atexit([] { std::filesystem::remove_all(dir); });
        return dir + "/profile.ini";
    }();
    return path.c_str();
}

// Text a name, key or value may hold and still read back as written: one
// line (the readers split at line ends), nothing the readers trim at either
// end, and no start that makes a comment or a head of the written line.
// Keys end at the first "=" and names at the first "]", so those are out.
bool Holdable(const std::string &s, const char *forbidden)
{
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    if (s.find_first_of(std::string("\n\r") + forbidden) != std::string::npos)
        return false;
    return s.empty() || (!space(s.front()) && !space(s.back()) && strchr(";#[", s.front()) == nullptr);
}

// A section list, which it frees, as one string: each entry with its NUL,
// then the closing NUL. Aborts on an entry without "=".
std::string ListText(char *list)
{
    std::string text;
    for (const char *e = list; e != nullptr && *e != '\0'; e += strlen(e) + 1) {
        if (strchr(e, '=') == nullptr)
            abort();
        text += std::string(e) + '\0';
    }
    free(list);
    return text + '\0';
}

// Heads of section in the file; *pieces is set when a line came in pieces.
int CountHeads(const char *section, bool *pieces)
{
    FILE *fp = fopen(Path(), "r");
    char line[PROFILE_LINE_SIZE];
    int heads = 0;
    for (*pieces = false; fp != nullptr && fgets(line, sizeof line, fp) != nullptr;) {
        size_t n = strlen(line);
        *pieces = *pieces || (n == sizeof line - 1 && line[n - 1] != '\n');
        heads += jumpOverSpace(line) != nullptr && profileIsHeadOf(jumpOverSpace(line), section);
    }
    if (fp != nullptr)
        fclose(fp);
    return heads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto text = [&in](size_t max) { return std::string(in.ConsumeRandomLengthString(max).c_str()); };
    int op = in.ConsumeIntegralInRange<int>(0, 3);
    int out_size = in.ConsumeIntegralInRange<int>(1, 64);
    int number = in.ConsumeIntegral<int>();
    int n_entries = in.ConsumeIntegralInRange<int>(0, 4);
    const std::string section = text(64), key = text(64), value = text(128);
    const char *s = section.c_str(), *k = key.c_str();
    std::string list;
    bool list_holdable = Holdable(section, "]");
    for (int i = 0; i < n_entries; i++) {
        std::string entry_key = text(32), entry_value = text(64);
        list_holdable = list_holdable && (op == 3 || (Holdable(entry_key, "=") && Holdable(entry_value, "")));
        list += op == 3 ? "" : entry_key + "=" + entry_value + '\0';
    }
    list += '\0';
    std::ofstream(Path(), std::ios::binary | std::ios::trunc) << in.ConsumeRemainingBytesAsString();

    auto readers = [&] {
        std::vector<char> got(out_size, 'u');  // exactly out_size bytes, so overflows show
        if (GetProfileString(Path(), s, k, got.data(), out_size) == 1 && strlen(got.data()) > (size_t)out_size - 1)
            abort();
        GetProfileInt(Path(), s, k, 7);
        ListText(GetProfileSection(Path(), s));
    };
    readers();
    bool holdable = Holdable(section, "]") && Holdable(key, "=");
    char out[1024];
    bool pieces;
    int heads = CountHeads(s, &pieces);
    if (op == 0) {
        SetProfileString(Path(), s, k, value.c_str());
        if (holdable && Holdable(value, "") && (GetProfileString(Path(), s, k, out, sizeof out) != 1 || value != out))
            abort();
    } else if (op == 1) {
        SetProfileInt(Path(), s, k, number);
        if (holdable && GetProfileInt(Path(), s, k, number ^ 1) != number)
            abort();
    } else {
        SetProfileSection(Path(), s, list.data());
        std::string read_back = ListText(GetProfileSection(Path(), s));
        // A line cut in pieces can join up differently once text is cut out.
        int after = CountHeads(s, &pieces);
        if (list_holdable && list.size() > 1 && read_back != list)
            abort();
        if (list_holdable && list.size() == 1 && !pieces && after != (heads > 0 ? heads - 1 : 0))
            abort();
    }
    readers();
    return 0;
}
