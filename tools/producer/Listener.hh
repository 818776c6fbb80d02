// The listening sockets on 127.0.0.1, one per medium, and the acceptance of new connections.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

// Listens for the medium on 127.0.0.1:port (0: a free port, kept in m.port). False (the reason on standard error)
// when the port cannot be had.
bool listenOn(Medium& m, int port);

// Accepts every pending connection of the medium, refusing those beyond kMaxConnectionsPerMedium.
void acceptConnections(Producer& p, Medium& m);

}  // namespace ostra_producer
