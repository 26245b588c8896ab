// The table of TCP client connections of the server loop, and the sends
// to them: live stream, history replay and short replies.
#ifndef RELAY_CLIENTS_H
#define RELAY_CLIENTS_H

#include <stddef.h>
#include <sys/select.h>
#include <sys/uio.h>

#include "loopbuffer.h"

#define MAX_CLIENTS 4

#define CLIENT_NEW 0      // connected, has not asked for the stream yet
#define CLIENT_ACTIVE 1   // receives the live stream
#define CLIENT_INACTIVE 2 // has stopped the stream

// A slot is free while fd <= 0: 0 at start, -1 once the server closed it.
// blocked_sends and state of a free slot are stale.
struct ClientSlot {
    int fd;
    int blocked_sends; // live-stream datagrams lost to sends that would have blocked
    int state;
    int behind; // has lost live-stream bytes, so gets no more of the stream
};

extern ClientSlot sSocks[MAX_CLIENTS];
extern int n_client;

// Adds every occupied slot's fd to set; returns the larger of maxfd and
// the highest fd added.
int RelayClientsAddToSet(fd_set *set, int maxfd);
void RelayClientClose(int slot);
void RelayClientsCloseAll(void);

// Sends the datagrams of one batch to every active client, with one send
// each that does not wait.
void RelayClientsFanOut(const iovec *datagrams, int count);

// Accepts one connection on listen_fd and gives it the first free slot.
void RelayClientAccept(int listen_fd);

// Sends len bytes, waiting at most 3 seconds before each send for room in
// the socket; gives up the rest on a time-out or a failed send.
void RelayClientSendWaiting(int fd, const unsigned char *buf, size_t len);
// Sends the loop buffer's content, oldest byte first.
void sendLoopBuff(int fd, const LoopBuffer *lb);

#endif
