// Random profile files through every reader; what a writer wrote must read back. Input:
// integers from the end (operation, buffer size, an int), then from the front section, key
// and value as "\"-terminated strings; the rest is the file.
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "profile.h"

static char dir[] = "/tmp/profile_fuzz.XXXXXX";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!mkdtemp(dir))
        abort();
    return atexit([] { std::filesystem::remove_all(dir); });
}

// Text that reads back as written: one line, nothing the readers trim at either end, no
// start that makes a comment or a head; keys end at the first "=", names at the first "]".
static bool Holdable(const std::string &s, const char *forbidden)
{
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    return s.find_first_of(std::string("\n\r") + forbidden) == std::string::npos
        && (s.empty() || (!space(s.front()) && !space(s.back()) && !strchr(";#[", s.front())));
}

// A section list, which it frees, as one string; aborts on an entry without "=".
static std::string ListText(char *list)
{
    std::string text;
    for (const char *e = list; e && *e; e += strlen(e) + 1) {
        if (!strchr(e, '='))
            abort();
        text += std::string(e) + '\0';
    }
    free(list);
    return text + '\0';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto text = [&in](size_t n) { return std::string(in.ConsumeRandomLengthString(n).c_str()); };
    const int op = in.ConsumeIntegralInRange<int>(0, 2);
    const int out_size = in.ConsumeIntegralInRange<int>(1, 64);
    const int number = in.ConsumeIntegral<int>();
    const std::string section = text(64), key = text(64), value = text(128);
    const bool holdable = Holdable(section, "]") && Holdable(key, "=") && Holdable(value, "");
    const std::string list = key + "=" + value + '\0';  // the section written by op 2
    const std::string path = std::string(dir) + "/profile.ini";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << in.ConsumeRemainingBytesAsString();
    const char *s = section.c_str(), *k = key.c_str(), *p = path.c_str();
    for (int pass = 0; pass < 2; pass++) {  // reads the file given, then the one written
        std::vector<char> got(out_size, 'u');  // exactly out_size bytes, so overflows show
        if (GetProfileString(p, s, k, got.data(), out_size) == 1
            && strlen(got.data()) >= (size_t)out_size)
            abort();
        GetProfileInt(p, s, k, 7);
        ListText(GetProfileSection(p, s));
        char out[1024];
        if (pass == 0 && op == 0 && SetProfileString(p, s, k, value.c_str()) == 0 && holdable
            && (GetProfileString(p, s, k, out, sizeof out) != 1 || value != out))
            abort();
        if (pass == 0 && op == 1 && SetProfileInt(p, s, k, number) == 0 && holdable
            && GetProfileInt(p, s, k, number ^ 1) != number)
            abort();
        if (pass == 0 && op == 2)
            SetProfileSection(p, s, (list + '\0').c_str());
        if (pass == 0 && op == 2 && holdable && ListText(GetProfileSection(p, s)) != list + '\0')
            abort();
    }
    return 0;
}
