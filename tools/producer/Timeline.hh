// The live timeline of a medium: each tick makes the next unit due on every connection that has joined.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

// One step of a medium's timeline: the unit becomes due on every connection that has joined (or joins now).
void tick(Producer& p, Medium& m);

}  // namespace ostra_producer
