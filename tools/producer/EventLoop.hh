// The one ppoll() loop of ostra-producer: frame clocks, listening sockets and connections, until the end of the run.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

void onSignal(int);
int run(Producer& p);

}  // namespace ostra_producer
