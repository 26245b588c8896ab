// Random profile files through every reader; every writer followed by a
// read-back that must return what was written.
//
// Input: integers from the end (operation, buffer size, an int value, the
// number of list entries), then from the front the section name, key, value
// and list entries as "\"-terminated strings; the rest of the bytes are the
// file.
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "profile.h"

static char dir[] = "/tmp/profile_fuzz.XXXXXX";
static const std::string path = [] {
    if (mkdtemp(dir) == nullptr)
        abort();
    atexit([] { std::filesystem::remove_all(dir); });
    return std::string(dir) + "/profile.ini";
}();

// Text that reads back as written: one line (the readers split at line
// ends), nothing the readers trim at either end, no start that makes a
// comment or a head; keys end at the first "=" and names at the first "]".
static bool Holdable(const std::string &s, const char *forbidden)
{
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    if (s.find_first_of(std::string("\n\r") + forbidden) != std::string::npos)
        return false;
    return s.empty() || (!space(s.front()) && !space(s.back()) && !strchr(";#[", s.front()));
}

// A section list, which it frees, as one string; aborts on an entry without "=".
static std::string ListText(char *list)
{
    std::string text;
    for (const char *e = list; e && *e; e += strlen(e) + 1)
        text += strchr(e, '=') ? std::string(e) + '\0' : (abort(), "");
    free(list);
    return text + '\0';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto text = [&in](size_t max) { return std::string(in.ConsumeRandomLengthString(max).c_str()); };
    int op = in.ConsumeIntegralInRange<int>(0, 2), out_size = in.ConsumeIntegralInRange<int>(1, 64);
    int number = in.ConsumeIntegral<int>(), n_entries = in.ConsumeIntegralInRange<int>(0, 4);
    const std::string section = text(64), key = text(64), value = text(128);
    const char *s = section.c_str(), *p = path.c_str();
    const bool holdable = Holdable(section, "]") && Holdable(key, "=");
    bool list_holdable = Holdable(section, "]");
    std::string list;
    for (int i = 0; i < n_entries; i++) {
        std::string k = text(32), v = text(64);
        list_holdable = list_holdable && Holdable(k, "=") && Holdable(v, "");
        list += k + "=" + v + '\0';
    }
    list += '\0';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << in.ConsumeRemainingBytesAsString();
    auto readers = [&] {
        std::vector<char> got(out_size, 'u');  // exactly out_size bytes, so overflows show
        if (GetProfileString(p, s, key.c_str(), got.data(), out_size) == 1 && strlen(got.data()) >= (size_t)out_size)
            abort();
        GetProfileInt(p, s, key.c_str(), 7);
        ListText(GetProfileSection(p, s));
    };
    readers();
    char out[1024];
    if (op == 0) {
        SetProfileString(p, s, key.c_str(), value.c_str());
        if (holdable && Holdable(value, "") && (GetProfileString(p, s, key.c_str(), out, sizeof out) != 1 || value != out))
            abort();
    }
    if (op == 1) {
        SetProfileInt(p, s, key.c_str(), number);
        if (holdable && GetProfileInt(p, s, key.c_str(), number ^ 1) != number)
            abort();
    }
    if (op == 2) {
        SetProfileSection(p, s, list.data());
        if (list_holdable && list.size() > 1 && ListText(GetProfileSection(p, s)) != list)
            abort();
    }
    readers();
    return 0;
}
