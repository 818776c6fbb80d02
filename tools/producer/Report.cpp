// The --report lines on standard output.
#include "Report.hh"

#include <cstdarg>
#include <cstdio>

namespace ostra_producer {

void reportLine(Producer const& p, char const* fmt, ...) {
  if (!p.opt.report) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fflush(stdout);
}

}  // namespace ostra_producer
