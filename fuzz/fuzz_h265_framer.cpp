// The H.265 framer (access-unit rules, parameter sets, the SPS reader) over
// arbitrary bytes: the H.264 framer's target built for H.265.
#define FUZZ_H265 1
#include "fuzz_h264_framer.cpp"
