// Dump requests, the dump step of the server loop, dump files and the
// autodump marker.
#ifndef RELAY_DUMP_H
#define RELAY_DUMP_H

#include <signal.h>

#include "loopbuffer.h"

#define DUMP_NOREQ (-1)
#define DUMP_STOP 0
#define DUMP_SNAP 1
#define DUMP_CONT 2

// The pending request: stored by sig_handler and the control words, taken
// by the loop with an atomic exchange (TakeDumpRequest).
extern volatile sig_atomic_t dump_out;

void sig_handler(int sig);
int TakeDumpRequest(void);

// Carries out one request taken from dump_out; updates the loop's dump
// state (*dump_mode, *cont_fd).
void DumpStep(int request, const LoopBuffer *lb, int max_file, int *dump_mode, int *cont_fd);

void dumpFile(const char *path, int fd);
void dumpCmd(const char *cmd, int fd);
// Creates (on != 0) or removes the DUMPLOG marker in the first dump path
// where that works; 1 when a marker was created or removed.
int set_autodump(int on);

#endif
