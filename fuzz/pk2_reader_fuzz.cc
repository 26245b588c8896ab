// Feeds arbitrary bytes to the package reader in verify-only mode and aborts
// when it leaves anything behind: the seeds' targets and commands point into
// CANARY, relative targets would land in the work directory.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>

#include <sanitizer/common_interface_defs.h>

#include "pk2.h"
#include "settings.h"

static const char CANARY[] = "/tmp/pk2_reader_fuzz.canary";
static char work_dir[] = "/tmp/pk2_reader_fuzz.XXXXXX";
static int null_fd = open("/dev/null", O_WRONLY);
static int stderr_fd = dup(2);  // sanitizer reports keep it when they come mid-call
static int cwd_fd = open(".", O_RDONLY | O_DIRECTORY);

static bool holds(const char *dir, long entries)
{
    std::error_code ec;
    return std::distance(std::filesystem::directory_iterator(dir, ec), {}) == entries && !ec;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::filesystem::create_directory(CANARY);
    if (!mkdtemp(work_dir) || !holds(CANARY, 0) || null_fd < 0 || stderr_fd < 0 || cwd_fd < 0)
        abort();
    atexit([] { std::filesystem::remove_all(work_dir); });
    __sanitizer_set_report_fd((void *)(intptr_t)stderr_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = chdir(work_dir) == 0 ? fopen("package.pk2", "wb") : NULL;
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    dup2(null_fd, 2);
    exec_pk2("package.pk2", IDENT_VERIFY_ONLY, NULL);
    dup2(stderr_fd, 2);
    if (!holds(CANARY, 0) || !holds(".", 1) || fchdir(cwd_fd) != 0)
        abort();
    return 0;
}
