// The video clip the producer loops: generated once with ffmpeg and kept in a cache directory, or read from a file.
#pragma once

#include "Options.hh"

#include <cstdint>
#include <string>
#include <vector>

namespace ostra_producer {

bool readWholeFile(std::string const& path, std::vector<uint8_t>* out);

// Generates (or finds in the cache) the looped test clip. Its length is a whole number of GOPs so the key frame
// rhythm stays regular across the loop.
bool prepareClip(Options const& o, std::string* path);

}  // namespace ostra_producer
