// Start-up preparation of the media: the video units and their headers, the audio tone table, the pacing.
#pragma once

#include "Producer.hh"

#include <string>

namespace ostra_producer {

// Loads each video channel's clip (generating it when no file is given), cuts it into units, keeps the headers a
// joining connection needs, makes the channel's medium and builds the --big-nal/--big-unit padding. False (the
// reason on standard error) when a clip is missing.
bool prepareVideo(Producer& p);

// Builds the one-second tone table and the audio chunk clock.
void prepareAudio(Producer& p);

// The video part of the start-up line for a channel's options, e.g. "H.264 640x360 25 fps".
std::string describeVideo(Options const& o);

}  // namespace ostra_producer
