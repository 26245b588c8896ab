// Arbitrary bytes through the verify-only reader; aborts when it leaves anything in CANARY (the
// seeds' targets) or the work directory. Refusals go to /dev/null, sanitizer reports to fd 2.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>

#include "pk2.h"
#include "settings.h"

namespace fs = std::filesystem;

static const char CANARY[] = "/tmp/pk2_reader_fuzz.canary";
static char work_dir[] = "/tmp/pk2_reader_fuzz.XXXXXX";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fs::create_directory(CANARY);
    stderr = fopen("/dev/null", "w");
    if (!stderr || !mkdtemp(work_dir) || !fs::is_empty(CANARY))
        abort();
    return atexit([] { fs::remove_all(work_dir); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fs::path cwd = fs::current_path();
    fs::current_path(work_dir);
    FILE *f = fopen("package.pk2", "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    exec_pk2("package.pk2", IDENT_VERIFY_ONLY, NULL);
    if (!fs::is_empty(CANARY) || std::distance(fs::directory_iterator("."), {}) != 1)
        abort();
    fs::current_path(cwd);
    return 0;
}
