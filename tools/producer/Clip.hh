// The video clip the producer loops: generated once with ffmpeg and kept in a cache directory, or read from a file.
#pragma once

#include "Options.hh"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostra_producer {

// The bytes of a file; nothing when it cannot be opened or read.
std::optional<std::vector<uint8_t>> readWholeFile(std::string const& path);

// Generates (or finds in the cache) the looped test clip. Its length is a whole number of GOPs so the key frame
// rhythm stays regular across the loop. Returns its path; nothing (the reason on standard error) when it cannot be
// made.
std::optional<std::string> prepareClip(Options const& o);

}  // namespace ostra_producer
