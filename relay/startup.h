// The two modes of morv, as the entry function runs them.
#ifndef RELAY_STARTUP_H
#define RELAY_STARTUP_H

#include <stdint.h>

#include "options.h"

// The loop buffer's size in bytes for a -b value in KiB: 0 for values of
// 0 or less and for sizes that don't fit an int32_t.
int32_t RelayBufferBytes(int buffer_size);

// Server mode: detaches on request, sets up the signals, both sockets and
// the loop buffer, and runs the server loop. The exit status: 0 when the
// loop ended, 1 when the log socket could not be bound, -1 when the TCP
// port could not be bound.
int RelayServe(const RelayOptions *opt);

// Client mode: forwards standard input line by line as datagrams. The exit
// status: 0 at the end of input, 1 when the server can't be reached.
int RelayClientMode(void);

#endif
