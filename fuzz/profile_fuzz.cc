// Random profile files through a writer (operation 2: none), then the readers. Input: from the
// end the operation and buffer size, from the front section, key and value; the rest the file.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto text = [&in](size_t n) { return std::string(in.ConsumeRandomLengthString(n).c_str()); };
    const int op = in.ConsumeIntegralInRange<int>(0, 2);
    const int out_size = in.ConsumeIntegralInRange<int>(1, 64);
    const std::string section = text(64), key = text(64), value = text(128);
    const std::string path = std::string(dir) + "/profile.ini";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << in.ConsumeRemainingBytesAsString();
    const char *s = section.c_str(), *k = key.c_str(), *p = path.c_str();
    if (op == 0)
        SetProfileString(p, s, k, value.c_str());
    if (op == 1)
        SetProfileSection(p, s, (key + "=" + value + '\0' + '\0').c_str());
    std::vector<char> got(out_size, 'u');  // exactly out_size bytes, so overflows show
    if (GetProfileString(p, s, k, got.data(), out_size) == 1 && strlen(got.data()) >= got.size())
        abort();
    GetProfileInt(p, s, k, 7);
    free(GetProfileSection(p, s));
    return 0;
}
