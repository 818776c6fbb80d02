// The --report lines on standard output.
#pragma once

#include "Producer.hh"

namespace ostra_producer {

void reportLine(Producer const& p, char const* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ostra_producer
