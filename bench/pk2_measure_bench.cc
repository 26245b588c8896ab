// Runs a command with its output discarded and prints, on one line, its
// wall time in seconds, its peak resident memory in KiB, its exit status
// and the processor time (user and system) it took in seconds. The
// benchmark scripts take their figures from it.
//
// The command runs without address randomisation: it moves the program's
// image across page boundaries and makes the peak memory of identical runs
// differ by up to 200 KiB, more than the differences being measured.
#include <fcntl.h>
#include <stdio.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    double start = now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        personality(ADDR_NO_RANDOMIZE);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("wait4");
        return 1;
    }
    double seconds = now() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                 usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    printf("%.4f %ld %d %.4f\n", seconds, usage.ru_maxrss, code, cpu);
    return 0;
}
