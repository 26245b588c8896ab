// morvcat: reads and drives a camera's relay over TCP from a laptop.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "modes.h"

static const char USAGE[] =
    "Usage: morvcat [-t] [-r] HOST[:PORT]           history and live log of the relay\n"
    "       morvcat -w WORD HOST[:PORT]             send a control word: snap, dump, nodump,\n"
    "                                               autodump, noautodump, v=1, v=0, getver\n"
    "       morvcat [-t] [-q MS] -x COMMAND HOST[:PORT]  run a command on the device\n"
    "       morvcat --fetch FILE HOST[:PORT]        fetch the logs archive into FILE\n"
    "\t-t\tprefix each line with the time it came\n"
    "\t-r\treconnect, waiting longer each time, when the connection drops\n"
    "\t-q\tquiet time that ends a command's output, in ms (default 2000)\n"
    "PORT is 3201 when not given. Exit status: 0 done, 1 usage, 2 host unreachable or\n"
    "nothing listening, 3 turned away (four clients connected), 4 closed by the relay,\n"
    "5 no answer, 6 fetch failed.\n";

static int usage()
{
    fputs(USAGE, stderr);
    return EXIT_USAGE;
}

struct Options {
    bool stamp = false;
    bool reconnect = false;
    int quiet_ms = 2000;
    const char *word = nullptr;
    const char *command = nullptr;
    const char *fetch = nullptr;
};

static bool parse(int argc, char **argv, Options *o)
{
    static const option LONG[] = {{"fetch", required_argument, nullptr, 'f'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "trq:w:x:h", LONG, nullptr)) != -1) {
        switch (c) {
        case 't': o->stamp = true; break;
        case 'r': o->reconnect = true; break;
        case 'q': o->quiet_ms = atoi(optarg); break;
        case 'w': o->word = optarg; break;
        case 'x': o->command = optarg; break;
        case 'f': o->fetch = optarg; break;
        default: return false;
        }
    }
    int modes = !!o->word + !!o->command + !!o->fetch;
    if (optind != argc - 1 || modes > 1 || o->quiet_ms <= 0)
        return false;
    if (o->word && !IsControlWord(o->word)) {
        fprintf(stderr, "morvcat: %s is not a control word (a command goes with -x)\n", o->word);
        return false;
    }
    return !(o->command && !*o->command);
}

int main(int argc, char **argv)
{
    Options o;
    Target t;
    if (!parse(argc, argv, &o))
        return usage();
    if (!ParseTarget(argv[optind], &t)) {
        fprintf(stderr, "morvcat: %s: not HOST[:PORT]\n", argv[optind]);
        return usage();
    }
    if (o.word)
        return RunWord(t, o.word);
    if (o.command)
        return RunCommand(t, o.command, o.stamp, o.quiet_ms);
    if (o.fetch)
        return RunFetch(t, o.fetch);
    return RunStream(t, o.stamp, o.reconnect);
}
