// Client mode: standard input, line by line, to the server's log socket.
#include <stdio.h>
#include <unistd.h>

#include "log_socket.h"
#include "startup.h"

// The most one datagram carries; the server takes no more.
#define LINE_PIECE_MAX 2047

// Reads what fgets would (a line with its newline, or the first max bytes
// of a longer one) but counts the bytes, so a NUL byte in the input does
// not cut off the rest of its line. 0 at the end of input or on an error.
static size_t readLinePiece(FILE *in, char *buf, size_t max)
{
    size_t n = 0;
    int c;
    while (n < max && (c = getc_unlocked(in)) != EOF) {
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    return n;
}

int RelayClientMode(void)
{
    int fd = RelayConnectLogSocket();
    if (fd < 0)
        return 1;
    char line[LINE_PIECE_MAX];
    size_t n;
    while ((n = readLinePiece(stdin, line, LINE_PIECE_MAX)) > 0) {
        ssize_t ignored = write(fd, line, n);
        (void)ignored;
    }
    close(fd);
    return 0;
}
