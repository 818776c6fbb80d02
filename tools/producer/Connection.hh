// One connection to the daemon: writing its backlog of due units, reading (and ignoring) what arrives, closing.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

// Closes the connection (once), adds its counts to the medium's and reports them with the reason.
void closeConnection(Producer& p, Connection& c, char const* reason);

// Drops the medium's closed connections.
void reapConnections(Medium& m);

// Writes as much of the connection's backlog as the socket takes, one unit (or one --chunk piece) per send.
void flush(Producer& p, Connection& c);

// The daemon never writes on its producer links; whatever arrives is read and ignored, end of stream closes.
void readConnection(Producer& p, Connection& c);

}  // namespace ostra_producer
