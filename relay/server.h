// The server event loop of morv.
#ifndef RELAY_SERVER_H
#define RELAY_SERVER_H

#include "loopbuffer.h"

// Serves until select fails (other than EINTR) or the log socket's receive
// fails; then releases the buffer, closes every socket and returns 0.
int RelayServerLoop(int log_fd, int listen_fd, LoopBuffer *lb, int verbose, int max_file);

#endif
