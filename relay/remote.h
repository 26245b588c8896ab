// What a TCP client can ask beyond the control words: a shell command
// whose output it receives, and the dump files as one archive.
#ifndef RELAY_REMOTE_H
#define RELAY_REMOTE_H

#include <signal.h>
#include <stddef.h>

// 1 when the first word of text is an element of the -c list, 0 otherwise.
int is_cmd_valid(const char *text);

// Checks a client's text, cuts it before the first character that could
// start a second command and leaves one blank after "cat" and "ls". Works
// within the text's own bytes; returns the command, or null when nothing
// is to run.
char *RelayCommandText(char *text);

// Runs an allowed command and sends the header and its standard output
// to fd. Sends nothing when the text is not allowed.
void RelayRunCommand(char *text, int fd);

// Sends the files of the first dump path that has any, and the -a files,
// as a gzip'd tar; the caller closes the connection afterwards.
void RelayFetchLogs(int fd);

// Sends all of buf, waiting for the client to read; -1 once a send fails.
int RelaySendAll(int fd, const char *buf, size_t len);

// The loop keeps the dump signals blocked outside its wait; shells started
// for clients must not inherit that. Unblocks them, keeping the old mask.
void RelayUnblockDumpSignals(sigset_t *saved);

#endif
