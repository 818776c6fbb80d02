// The command line of ostra-producer: its options, their defaults, the usage text and the parser.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace ostra_producer {

constexpr int kAudioRate = 8000;  // samples per second of the PCM audio

enum class Codec { H264, Mpeg4 };

struct Options {
  int videoPort = 13032;
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
};

void usage(FILE* f);
bool parseOptions(int argc, char** argv, Options* o);

}  // namespace ostra_producer
