#ifndef OSTRA_GROUPSOCK_HELPER_HH
#define OSTRA_GROUPSOCK_HELPER_HH

#include <netinet/in.h>

#include "NetAddress.hh"
#include "UsageEnvironment.hh"

// A TCP socket bound to 'port' on all interfaces with SO_REUSEADDR on,
// optionally non-blocking and with keep-alive. Returns -1 on failure, with the
// reason in env's result message (e.g. "bind() error (port number: 8554): ...").
int setupStreamSocket(UsageEnvironment& env, Port port, Boolean makeNonBlocking = True, Boolean setKeepAlive = False);

// A UDP socket bound to 'port' on all interfaces (0: any port), non-blocking.
// Returns -1 on failure, with the reason in env's result message.
int setupDatagramSocket(UsageEnvironment& env, Port port);

Boolean makeSocketNonBlocking(int sock);
Boolean makeSocketBlocking(int sock, unsigned writeTimeoutInMilliseconds = 0);
Boolean setSocketKeepAlive(int sock);

unsigned getSendBufferSize(UsageEnvironment& env, int socket);
unsigned getReceiveBufferSize(UsageEnvironment& env, int socket);
// Raises the buffer towards 'requestedSize', halving the request until the
// system accepts it; returns the size in force afterwards.
unsigned increaseSendBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize);
unsigned increaseReceiveBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize);

// The local port a socket is bound to.
Boolean getSourcePort(UsageEnvironment& env, int socket, Port& port);

// The host's own IPv4 address (network order): the first interface that is
// up, not loopback and has an IPv4 address, found with getifaddrs(); else
// 127.0.0.1. Found without sending any packet; cached after the first call.
netAddressBits ourIPAddress(UsageEnvironment& env);

// Dotted-quad text of a network-order address, in a static buffer.
char const* AddressString(netAddressBits addr);

// Reads up to 'bufferSize' bytes from a UDP socket; returns the count (0 when
// nothing was waiting), or -1 on error. 'fromAddress' receives the sender.
int readSocket(UsageEnvironment& env, int socket, unsigned char* buffer, unsigned bufferSize,
               struct sockaddr_in& fromAddress);

// Sends one datagram; returns false on failure.
Boolean writeSocket(UsageEnvironment& env, int socket, struct in_addr address, portNumBits portNum /*network order*/,
                    unsigned char* buffer, unsigned bufferSize);

#endif
