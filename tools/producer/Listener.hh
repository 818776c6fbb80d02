// The listening sockets on 127.0.0.1, one per medium, and the acceptance of new connections.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

bool listenOn(Medium& m, int port);
void acceptConnections(Producer& p, Medium& m);

}  // namespace ostra_producer
