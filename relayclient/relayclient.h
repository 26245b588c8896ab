/* Functions for other programs of the device: send their output to the
 * morv relay, and run shell commands through the systemcall service.
 * Callable from C; they need nothing but the C library. */
#ifndef RELAYCLIENT_RELAYCLIENT_H
#define RELAYCLIENT_RELAYCLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The systemcall service's reply, 8 bytes in native byte order. */
typedef struct SystemcallReply {
    int32_t result; /* the command's result, as system() gives it */
    int32_t err;    /* the errno value that goes with a negative result */
} SystemcallReply;

/* Makes standard output and error one datagram socket connected to
 * "/var/run/morv.sock", so each write on them reaches the relay as one log
 * datagram; own_path (or null) is bound as the sender, after removing
 * whatever file is there. Returns the socket; 0 or less when it can't be
 * created; -1 when the connect fails ("connect to /var/run/morv.sock" is
 * reported, output and error stay as they were), or when own_path is too
 * long for a socket address (errno ENAMETOOLONG; nothing else is done).
 * Call it once, early. */
int morv_cli(const char *own_path);

/* Sends cmd and its NUL to the service on "/tmp/systemcall.sock" and
 * receives its reply once. Returns the bytes received (0 to 8), or -1 when
 * the service can't be reached or the receive fails. */
int systemcall_clt(const char *cmd, SystemcallReply *reply);

/* system() through the service: its result, with errno set to its err
 * when the result is negative and left alone otherwise. Without a whole
 * 8-byte reply the command runs here with system() instead; a service
 * that took the command but lost the reply may then have run it too. */
int RSYSTEM(const char *cmd);

#ifdef __cplusplus
}
#endif

#endif
