// The command line of morv.
#ifndef RELAY_OPTIONS_H
#define RELAY_OPTIONS_H

// Settings that the entry function keeps and hands on; the lists (dump
// paths, files, commands, allowed commands) go to the globals of settings.h.
struct RelayOptions {
    int server;      // -s
    int detach;      // -B, server mode only
    int buffer_size; // -b, loop buffer size in KiB
    int port_listen; // -p
    int max_file;    // -m, numbered dump files per name
    int verbose;     // -v
};

// Parses argv into *opt and the settings globals. Returns 0, or -1 when
// the usage text is due (-h, -?, an unknown option, a missing argument);
// then the options after the offending one have not been looked at.
int RelayParseOptions(int argc, char **argv, RelayOptions *opt);

// Prints the usage text and ends the process with status 1.
[[noreturn]] void printUsage(void);

#endif
