// morv: a log relay. With -s it serves, otherwise it forwards standard
// input to the server.
#include <stdio.h>

#include "options.h"
#include "startup.h"

int main(int argc, char **argv)
{
    // Line-buffered, so a pipe or log file sees each line as it happens.
    setvbuf(stdout, NULL, _IOLBF, 0);
    RelayOptions opt;
    if (RelayParseOptions(argc, argv, &opt) != 0)
        printUsage();
    if (!opt.server)
        return RelayClientMode();
    return RelayServe(&opt);
}
