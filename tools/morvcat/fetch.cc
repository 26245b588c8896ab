// "fetchlogs": the archive goes into a file, never to a terminal, and is
// checked to be a whole gzip'd tar before its members are listed.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "modes.h"

const int FETCH_STALL_MS = 60000;

static int failed(const std::string &path, const char *why)
{
    fprintf(stderr, "morvcat: %s: %s\n", path.c_str(), why);
    return EXIT_BAD_FETCH;
}

// The relay marks the archive's end only by closing the connection.
static long long receiveInto(int fd, int out, bool *stalled)
{
    char buf[8192];
    long long total = 0;
    long n;
    while ((n = ReadSome(fd, buf, sizeof buf, FETCH_STALL_MS)) > 0) {
        if (write(out, buf, n) != n)
            return -1;
        total += n;
    }
    *stalled = n == -2;
    return total;
}

// gzip checks the stream's length and CRC; *data gets what it unpacked.
static bool gunzip(const std::string &path, std::string *data)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        execlp("gzip", "gzip", "-dc", "--", path.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(pipefd[1]);
    char buf[8192];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        data->append(buf, n);
    close(pipefd[0]);
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static unsigned long long octal(const char *field, size_t len)
{
    unsigned long long v = 0;
    for (size_t i = 0; i < len && field[i] >= '0' && field[i] <= '7'; i++)
        v = v * 8 + (field[i] - '0');
    return v;
}

static bool checksumOk(const unsigned char *h)
{
    unsigned long long sum = 0;
    for (int i = 0; i < 512; i++)
        sum += (i >= 148 && i < 156) ? ' ' : h[i];
    return sum == octal((const char *)h + 148 + strspn((const char *)h + 148, " "), 8);
}

static std::string field(const unsigned char *h, size_t off, size_t len)
{
    return std::string((const char *)h + off, strnlen((const char *)h + off, len));
}

// Lists "SIZE NAME" per member; false when a header is damaged or the
// archive stops before its end blocks.
static bool listTar(const std::string &tar, int *members)
{
    std::string long_name;
    size_t off = 0;
    while (off + 512 <= tar.size()) {
        const unsigned char *h = (const unsigned char *)tar.data() + off;
        if (std::string((const char *)h, 512) == std::string(512, '\0'))
            return true;
        if (!checksumOk(h))
            return false;
        unsigned long long size = octal((const char *)h + 124, 12);
        size_t data = off + 512;
        off = data + (size + 511) / 512 * 512;
        if (off > tar.size())
            return false;
        if (h[156] == 'L') { // a name too long for the header comes first
            long_name = std::string(tar, data, strnlen(tar.data() + data, size));
            continue;
        }
        std::string name = field(h, 0, 100);
        if (!field(h, 345, 155).empty() && memcmp(h + 257, "ustar", 5) == 0)
            name = field(h, 345, 155) + "/" + name;
        if (!long_name.empty())
            name = long_name;
        long_name.clear();
        printf("%10llu  %s\n", size, name.c_str());
        ++*members;
    }
    return false;
}

static int checkArchive(const std::string &path, long long bytes)
{
    std::string tar;
    int members = 0;
    if (!gunzip(path, &tar))
        return failed(path, "not a whole gzip stream (kept for a look)");
    if (!listTar(tar, &members))
        return failed(path, "not a whole tar archive (kept for a look)");
    printf("%s: %d members, %lld bytes\n", path.c_str(), members, bytes);
    return EXIT_DONE;
}

int RunFetch(const Target &t, const std::string &path)
{
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        perror(path.c_str());
        return EXIT_BAD_FETCH;
    }
    if (isatty(out)) {
        close(out);
        return failed(path, "is a terminal: give a file for the archive");
    }
    int fd = ConnectRelay(t, CONNECT_MS);
    if (fd < 0) {
        close(out);
        return EXIT_UNREACHABLE;
    }
    bool stalled = false;
    long long bytes = SendAll(fd, "fetchlogs") ? receiveInto(fd, out, &stalled) : 0;
    close(fd);
    if (close(out) != 0 || bytes < 0)
        return failed(path, "can't be written");
    if (stalled)
        return failed(path, "the relay stopped sending (kept for a look)");
    if (bytes == 0) {
        unlink(path.c_str());
        return failed(t.name, "the relay sent no archive: it has no dump files, or four "
                              "clients are connected");
    }
    return checkArchive(path, bytes);
}
