// The connection to a relay: connect with a deadline, send a text whole,
// wait for bytes with a deadline, and the exit statuses every mode shares.
#ifndef TOOLS_MORVCAT_NET_H
#define TOOLS_MORVCAT_NET_H

#include <string>

enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_UNREACHABLE = 2, // no such host, no route, no answer, nothing listening
    EXIT_TURNED_AWAY = 3, // the relay closed at once: four clients are connected
    EXIT_CLOSED = 4,      // the relay closed the connection while in use
    EXIT_NO_ANSWER = 5,   // a command or word that got no reply
    EXIT_BAD_FETCH = 6,   // no archive, or not a gzip'd tar, or it can't be written
};

struct Target {
    std::string host;
    std::string port;
    std::string name; // HOST:PORT, for messages
};

// HOST, HOST:PORT or [V6HOST]:PORT; false when the port is not a number.
bool ParseTarget(const std::string &arg, Target *t);

// Returns a connected descriptor, or -1 after printing why; *status then
// holds EXIT_UNREACHABLE.
int ConnectRelay(const Target &t, int timeout_ms);

bool SendAll(int fd, const std::string &text);

// Waits up to timeout_ms for the connection to be readable; returns the
// bytes read (0 at end of file, -1 on error with errno set, -2 on time-out).
long ReadSome(int fd, char *buf, size_t len, int timeout_ms);

// Milliseconds on a clock that never jumps.
long long NowMs();

#endif
