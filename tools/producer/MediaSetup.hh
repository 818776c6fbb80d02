// Start-up preparation of the media: the video units and their headers, the audio tone table, the pacing.
#pragma once

#include "Producer.hh"

#include <string>

namespace ostra_producer {

bool prepareVideo(Producer& p);
void prepareAudio(Producer& p);
std::string describeVideo(Producer const& p);

}  // namespace ostra_producer
