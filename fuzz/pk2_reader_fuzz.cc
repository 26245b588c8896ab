// Feeds arbitrary bytes to the package reader in verify-only mode. Besides
// the sanitizers' checks, it aborts when the reader leaves anything behind:
// the seeds' targets and commands all point into CANARY, and relative
// targets would land in the working directory, so both must stay as they
// were.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include "pk2.h"
#include "settings.h"

static const char CANARY[] = "/tmp/pk2_reader_fuzz.canary";
static const char PACKAGE[] = "package.pk2";

static char work_dir[] = "/tmp/pk2_reader_fuzz.XXXXXX";
static int null_fd = -1;
static int stderr_fd = -1;
static int cwd_fd = -1;

// Entries of dir other than "." and ".." and allowed.
static int strangers(const char *dir, const char *allowed)
{
    DIR *d = opendir(dir);
    if (!d)
        return -1;
    int n = 0;
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
            strcmp(e->d_name, allowed) != 0)
            n++;
    }
    closedir(d);
    return n;
}

static void removeWorkDir(void)
{
    if (chdir(work_dir) == 0)
        unlink(PACKAGE);
    if (fchdir(cwd_fd) == 0)
        rmdir(work_dir);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cwd_fd = open(".", O_RDONLY | O_DIRECTORY);
    if (cwd_fd < 0 || !mkdtemp(work_dir))
        abort();
    atexit(removeWorkDir);
    mkdir(CANARY, 0755);
    if (strangers(CANARY, ".") != 0) {
        fprintf(stderr, "%s must be an empty directory\n", CANARY);
        abort();
    }
    // The reader's refusals go to /dev/null; sanitizer reports keep the
    // real standard error even when they come mid-call.
    null_fd = open("/dev/null", O_WRONLY);
    stderr_fd = dup(2);
    if (null_fd < 0 || stderr_fd < 0)
        abort();
    __sanitizer_set_report_fd((void *)(intptr_t)stderr_fd);
    return 0;
}

// Runs in the work directory, so relative targets would land there; the
// fuzzer's own working directory (corpus, artifacts) is left alone.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (chdir(work_dir) != 0)
        abort();
    FILE *f = fopen(PACKAGE, "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    verbose = 0;
    fflush(stdout);
    dup2(null_fd, 2);
    exec_pk2(PACKAGE, IDENT_VERIFY_ONLY, NULL);
    dup2(stderr_fd, 2);
    if (strangers(CANARY, ".") != 0 || strangers(".", PACKAGE) != 0) {
        fprintf(stderr, "verify-only run wrote a target or ran a command\n");
        abort();
    }
    if (fchdir(cwd_fd) != 0)
        abort();
    return 0;
}
