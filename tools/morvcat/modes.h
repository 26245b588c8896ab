// What morvcat does on a connection: follow the live log, send one
// control word, run one remote command, fetch the logs archive.
#ifndef TOOLS_MORVCAT_MODES_H
#define TOOLS_MORVCAT_MODES_H

#include <string>

#include "net.h"

// A relay that turns a connection away (all four places taken) closes it
// at once without a byte; a close with nothing received within this time
// after connecting is taken for that.
const int TURN_AWAY_MS = 3000;
const int CONNECT_MS = 5000;

int RunStream(const Target &t, bool stamp, bool reconnect);
int RunWord(const Target &t, const std::string &word);
int RunCommand(const Target &t, const std::string &command, bool stamp, int quiet_ms);
int RunFetch(const Target &t, const std::string &path);

bool IsControlWord(const std::string &word);

// Writes received bytes to standard output; with stamp, each line begins
// with the local time at which its first byte came.
struct LineOut {
    bool stamp;
    bool at_line_start;
};
void LineOutWrite(LineOut *out, const char *buf, size_t len);

#endif
