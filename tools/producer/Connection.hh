// One connection to the daemon: writing its backlog of due units, reading (and ignoring) what arrives, closing.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

void closeConnection(Producer& p, Connection& c, char const* reason);
void reapConnections(Medium& m);

// Writes as much of the connection's backlog as the socket takes, one unit (or one --chunk piece) per send.
void flush(Producer& p, Connection& c);

// The daemon never writes on its producer links; whatever arrives is read and ignored, end of stream closes.
void readConnection(Producer& p, Connection& c);

}  // namespace ostra_producer
