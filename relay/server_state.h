// What the server loop keeps for its whole run, shared by its steps.
#ifndef RELAY_SERVER_STATE_H
#define RELAY_SERVER_STATE_H

#include <sys/uio.h>

#include "loopbuffer.h"

#define DATAGRAM_MAX 2047 // the most taken of one log datagram
#define LOG_BATCH_MAX 16  // the most datagrams taken after one wake-up
#define CLIENT_TEXT_MAX 256

// The datagrams taken after one wake-up, in order of arrival: taken[i]
// holds the bytes of text[i], which also has a NUL after them.
struct LogBatch {
    int count;
    iovec taken[LOG_BATCH_MAX];
    char text[LOG_BATCH_MAX][DATAGRAM_MAX + 1];
};

struct ServerState {
    int log_fd;
    int listen_fd;
    LoopBuffer *lb;
    int verbose;   // echo log text on standard output; "v=1"/"v=0" change it
    int max_file;
    int dump_mode; // owned by the dump step
    int cont_fd;   // continuous-dump file, open while > 0
    LogBatch batch;
    char datagram[DATAGRAM_MAX + 1];    // the "getver" reply
    char text[CLIENT_TEXT_MAX + 1];     // one client's text
};

// Takes the log datagrams already queued and passes them on; -1 when the
// receive fails, which ends the loop.
int RelayTakeLog(ServerState *st);

// Receives one client's text and carries it out; may free the slot.
void RelayServeClient(ServerState *st, int slot);

#endif
