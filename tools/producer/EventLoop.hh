// The one ppoll() loop of ostra-producer: frame clocks, listening sockets and connections, until the end of the run.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

// The SIGINT/SIGTERM handler: the loop ends at its next turn.
void onSignal(int);

// Runs the media's timelines and serves the connections until --duration has passed or a stop signal arrives, then
// closes everything and prints the summaries. Returns the exit status.
int run(Producer& p);

}  // namespace ostra_producer
