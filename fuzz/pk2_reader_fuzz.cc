// Verify-only reads of arbitrary bytes in DIR, where the seeds' targets lie: nothing else stays.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>

#include "pk2.h"
#include "settings.h"

namespace fs = std::filesystem;

static const char DIR[] = "/tmp/pk2_reader_fuzz.canary";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fs::remove_all(DIR);
    fs::create_directory(DIR);
    fs::current_path(DIR);
    stderr = fopen("/dev/null", "w");
    if (!stderr)
        abort();
    return atexit([] { fs::remove_all(DIR); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen("package.pk2", "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    exec_pk2("package.pk2", IDENT_VERIFY_ONLY, NULL);
    if (std::distance(fs::directory_iterator("."), {}) != 1)
        abort();
    return 0;
}
