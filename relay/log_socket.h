// The log socket "/var/run/morv.sock": the server's end and the client's.
#ifndef RELAY_LOG_SOCKET_H
#define RELAY_LOG_SOCKET_H

// Replaces whatever is at the path with a bound datagram socket; the
// descriptor, or -1 after the perror message.
int RelayBindLogSocket(void);

// A datagram socket connected to the server's; the descriptor, or -1
// after the perror message.
int RelayConnectLogSocket(void);

#endif
