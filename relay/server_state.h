// What the server loop keeps for its whole run, shared by its steps.
#ifndef RELAY_SERVER_STATE_H
#define RELAY_SERVER_STATE_H

#include "loopbuffer.h"

#define DATAGRAM_MAX 2047 // the most taken of one log datagram
#define CLIENT_TEXT_MAX 256

struct ServerState {
    int log_fd;
    int listen_fd;
    LoopBuffer *lb;
    int verbose;   // echo log text on standard output; "v=1"/"v=0" change it
    int max_file;
    int dump_mode; // owned by the dump step
    int cont_fd;   // continuous-dump file, open while > 0
    char datagram[DATAGRAM_MAX + 1];    // one log message or the "getver" reply
    char text[CLIENT_TEXT_MAX + 1];     // one client's text
};

// Receives one client's text and carries it out; may free the slot.
void RelayServeClient(ServerState *st, int slot);

#endif
