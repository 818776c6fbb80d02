// The command line of ostra-producer: its options, their defaults, the usage text and the parser.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostra_producer {

constexpr int kAudioRate = 8000;  // samples per second of the PCM audio

enum class Codec { H264, H265, Mpeg4 };

struct Options {
  int videoPort = 13032;
  int channels = 1;  // video channels: channel k (from 0) on videoPort + k
  int audioPort = 13132;
  bool video = true;
  bool audio = true;
  Codec codec = Codec::H264;
  std::string file;
  int fps = 25;
  double rateFps = 0;  // 0: pace at fps
  int width = 640;
  int height = 360;
  std::string bitrate = "1000k";
  int gop = 25;
  double clipSeconds = 4;
  std::string cacheDir;
  int toneHz = 440;
  int audioChunkMs = 20;
  size_t chunk = 0;
  unsigned long long closeAfter = 0;
  size_t bigUnit = 0;
  size_t bigNal = 0;
  bool report = false;
  double duration = 0;
  std::string timestampsFile;
  size_t backlogBytes = 4u << 20;
  // Per video channel: --size, --bitrate and the file options take comma-separated lists, one entry per channel (a
  // channel past the end of a list takes its last entry). file, width, height and bitrate above are the first's.
  std::vector<std::string> files, bitrates;
  std::vector<std::pair<int, int>> sizes;
};

// The options of video channel k: its own file, size and bit rate.
Options channelOptions(Options const& o, int k);

// The outcome of parsing the command line: the options to run with, a request for the usage text, or what is wrong.
struct ParsedOptions {
  std::optional<Options> options;  // set when the command line is good and asks for a run
  bool help = false;               // --help or -h: print the usage text and exit with status 0
  std::string error;               // otherwise: one line for standard error, without the program name
};

void usage(FILE* f);
ParsedOptions parseOptions(int argc, char** argv);

}  // namespace ostra_producer
