// One control word, or one remote command, on a connection of its own.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "modes.h"

static const char *const CONTROL_WORDS[] = {
    "snap", "dump", "nodump", "autodump", "noautodump", "v=1", "v=0", "getver",
};

const int REPLY_MS = 10000;

bool IsControlWord(const std::string &word)
{
    for (const char *w : CONTROL_WORDS)
        if (word == w)
            return true;
    return false;
}

static int turnedAway(const Target &t)
{
    fprintf(stderr, "morvcat: %s: the relay turned the connection away "
                    "(four clients are connected)\n", t.name.c_str());
    return EXIT_TURNED_AWAY;
}

// Reads until the text holds end (found at or after from) or the relay
// goes quiet for wait_ms; returns the read result that ended it.
static long readUntil(int fd, std::string *text, const char *end, size_t from, int wait_ms)
{
    char buf[2048];
    for (;;) {
        size_t at = text->find(end, from);
        if (at != std::string::npos)
            return 1;
        long n = ReadSome(fd, buf, sizeof buf, wait_ms);
        if (n <= 0)
            return n;
        text->append(buf, n);
    }
}

// Only "getver" answers; for the other words a close within a short while
// tells that the relay never took the word.
int RunWord(const Target &t, const std::string &word)
{
    int fd = ConnectRelay(t, CONNECT_MS);
    if (fd < 0)
        return EXIT_UNREACHABLE;
    std::string reply;
    long n = SendAll(fd, word) ? 1 : 0;
    if (n > 0 && word == "getver")
        n = readUntil(fd, &reply, "\n", 0, REPLY_MS);
    else if (n > 0)
        n = readUntil(fd, &reply, "\n", 0, 1000) == -2 ? 1 : 0;
    close(fd);
    if (n <= 0 && reply.empty())
        return n == -2 ? EXIT_NO_ANSWER : turnedAway(t);
    fwrite(reply.data(), 1, reply.size(), stdout);
    return EXIT_DONE;
}

// The relay answers a command it runs with a header that names it:
// "\n=====...\n[[[[COMMAND]]]\n", then the output, and no trailer.
static size_t headerEnd(const std::string &text)
{
    size_t open = text.find("[[[[");
    if (open == std::string::npos)
        return std::string::npos;
    size_t close = text.find("]]]\n", open + 4);
    return close == std::string::npos ? close : close + 4;
}

int RunCommand(const Target &t, const std::string &command, bool stamp, int quiet_ms)
{
    int fd = ConnectRelay(t, CONNECT_MS);
    if (fd < 0)
        return EXIT_UNREACHABLE;
    std::string text;
    long n = SendAll(fd, command) ? readUntil(fd, &text, "]]]\n", 0, REPLY_MS) : 0;
    size_t body = headerEnd(text);
    if (n <= 0 || body == std::string::npos) {
        close(fd);
        if (n == -2) {
            fprintf(stderr, "morvcat: %s: no answer: the relay runs only cat, ls and "
                            "the commands of its -c list\n", t.name.c_str());
            return EXIT_NO_ANSWER;
        }
        return turnedAway(t);
    }
    LineOut out = {stamp, true};
    LineOutWrite(&out, text.data() + body, text.size() - body);
    char buf[4096];
    while ((n = ReadSome(fd, buf, sizeof buf, quiet_ms)) > 0)
        LineOutWrite(&out, buf, n);
    close(fd);
    return EXIT_DONE;
}
