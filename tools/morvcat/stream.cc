// Following the live log, and the output writer it shares with commands.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "modes.h"

static void writeStamp()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    printf("%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
           (int)(tv.tv_usec / 1000));
}

void LineOutWrite(LineOut *out, const char *buf, size_t len)
{
    if (len == 0)
        return;
    if (!out->stamp) {
        fwrite(buf, 1, len, stdout);
        out->at_line_start = buf[len - 1] == '\n';
    } else {
        for (size_t i = 0; i < len; i++) {
            if (out->at_line_start)
                writeStamp();
            putchar(buf[i]);
            out->at_line_start = buf[i] == '\n';
        }
    }
    fflush(stdout);
}

// One connection: "act", then everything until the relay closes.
static int streamOnce(const Target &t, LineOut *out, bool retrying, bool *got_data)
{
    int fd = ConnectRelay(t, CONNECT_MS);
    if (fd < 0)
        return EXIT_UNREACHABLE;
    if (retrying)
        fprintf(stderr, "morvcat: %s: connected again\n", t.name.c_str());
    long long connected_at = NowMs();
    char buf[4096];
    long n = SendAll(fd, "act") ? 1 : 0;
    int err = 0;
    while (n > 0) {
        n = ReadSome(fd, buf, sizeof buf, -1);
        if (n > 0) {
            *got_data = true;
            LineOutWrite(out, buf, n);
        }
    }
    if (n < 0)
        err = errno;
    close(fd);
    // A line cut short by the close must not run into the next one.
    if (!out->at_line_start) {
        putchar('\n');
        out->at_line_start = true;
    }
    if (!*got_data && NowMs() - connected_at < TURN_AWAY_MS) {
        fprintf(stderr, "morvcat: %s: the relay turned the connection away "
                        "(four clients are connected)\n", t.name.c_str());
        return EXIT_TURNED_AWAY;
    }
    if (n < 0)
        fprintf(stderr, "morvcat: %s: connection lost: %s\n", t.name.c_str(), strerror(err));
    else
        fprintf(stderr, "morvcat: %s: the relay closed the connection\n", t.name.c_str());
    return EXIT_CLOSED;
}

// With reconnect the waits grow 1, 2, 4 ... 30 s while the camera stays
// away, and start again at 1 s once a connection has carried data.
int RunStream(const Target &t, bool stamp, bool reconnect)
{
    LineOut out = {stamp, true};
    int delay = 1;
    bool retrying = false;
    for (;;) {
        bool got_data = false;
        int rc = streamOnce(t, &out, retrying, &got_data);
        if (!reconnect)
            return rc;
        if (got_data)
            delay = 1;
        fprintf(stderr, "morvcat: %s: reconnecting in %d s\n", t.name.c_str(), delay);
        sleep(delay);
        delay = std::min(delay * 2, 30);
        retrying = true;
    }
}
