// Feeds arbitrary bytes to the package reader in verify-only mode. Besides
// the sanitizers' checks, it aborts when the reader leaves anything behind:
// the seeds' targets and commands all point into CANARY, and relative
// targets would land in the work directory, so both must stay as they were.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include <sanitizer/common_interface_defs.h>

#include "pk2.h"
#include "settings.h"

static const char CANARY[] = "/tmp/pk2_reader_fuzz.canary";
static char work_dir[] = "/tmp/pk2_reader_fuzz.XXXXXX";
static int null_fd, stderr_fd;

static bool onlyPackageIn(const char *dir, size_t allowed)
{
    std::error_code ec;
    auto entries = std::filesystem::directory_iterator(dir, ec);
    return !ec && (size_t)std::distance(entries, std::filesystem::directory_iterator()) == allowed;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::filesystem::create_directory(CANARY);
    if (!mkdtemp(work_dir) || !onlyPackageIn(CANARY, 0))
        abort();
    atexit([] { std::filesystem::remove_all(work_dir); });
    // The reader's refusals go to /dev/null; sanitizer reports keep the real
    // standard error even when they come mid-call.
    null_fd = open("/dev/null", O_WRONLY), stderr_fd = dup(2);
    if (null_fd < 0 || stderr_fd < 0)
        abort();
    __sanitizer_set_report_fd((void *)(intptr_t)stderr_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string package = std::string(work_dir) + "/package.pk2";
    FILE *f = fopen(package.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    std::string cwd = std::filesystem::current_path();
    if (chdir(work_dir) != 0)
        abort();
    dup2(null_fd, 2);
    exec_pk2(package.c_str(), IDENT_VERIFY_ONLY, NULL);
    dup2(stderr_fd, 2);
    if (chdir(cwd.c_str()) != 0 || !onlyPackageIn(CANARY, 0) || !onlyPackageIn(work_dir, 1))
        abort();
    return 0;
}
