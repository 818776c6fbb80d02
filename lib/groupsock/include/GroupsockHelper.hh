#ifndef OSTRA_GROUPSOCK_HELPER_HH
#define OSTRA_GROUPSOCK_HELPER_HH

#include <netinet/in.h>

#include "NetAddress.hh"
#include "UsageEnvironment.hh"

// Sockets are made for both address families where the kernel has IPv6 (an
// AF_INET6 socket with IPV6_V6ONLY off), else for IPv4 alone.

// A TCP socket bound to 'port' on all interfaces with SO_REUSEADDR on,
// optionally non-blocking and with keep-alive. Returns -1 on failure, with the
// reason in env's result message (e.g. "bind() error (port number: 8554): ...").
int setupStreamSocket(UsageEnvironment& env, Port port, Boolean makeNonBlocking = True, Boolean setKeepAlive = False);

// A UDP socket bound to 'port' on all interfaces (0: any port), non-blocking.
// Returns -1 on failure, with the reason in env's result message.
int setupDatagramSocket(UsageEnvironment& env, Port port);

Boolean makeSocketNonBlocking(int sock);
Boolean setSocketKeepAlive(int sock);

unsigned getSendBufferSize(UsageEnvironment& env, int socket);
// Raises the buffer towards 'requestedSize', halving the request until the
// system accepts it; returns the size in force afterwards.
unsigned increaseSendBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize);

// The local port a socket is bound to.
Boolean getSourcePort(UsageEnvironment& env, int socket, Port& port);
// The local address of a socket (v4-mapped unmapped); none on failure.
NetAddress localAddressOf(int socket);
// AF_INET or AF_INET6 (AF_UNSPEC on failure).
int socketFamilyOf(int socket);

// The host's own IPv4 address (network order): the first interface that is
// up, not loopback and has an IPv4 address, found with getifaddrs(); else
// 127.0.0.1. Found without sending any packet. An address found is kept for
// later calls; the loopback fallback is not, so an interface that comes up
// later is still found.
netAddressBits ourIPAddress(UsageEnvironment& env);

// The host's own IPv6 address: the first global or unique-local address of
// an interface that is up and not loopback (getifaddrs); none without one.
NetAddress ourIPv6Address();

// Dotted-quad text of a network-order address, in a static buffer.
char const* AddressString(netAddressBits addr);

#endif
