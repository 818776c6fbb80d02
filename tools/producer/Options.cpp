// Parsing of the ostra-producer command line.
#include "Options.hh"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostra_producer {

namespace {

// A whole decimal number in [lo, hi]; nothing when the text is anything else.
std::optional<long long> parseLong(char const* s, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return std::nullopt;
  return v;
}

// A decimal number in [lo, hi]; nothing when the text is anything else.
std::optional<double> parseDouble(char const* s, double lo, double hi) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return std::nullopt;
  return v;
}

// Stores a whole number in [lo, hi] in the field; false when the text is anything else.
template <typename T>
bool setWhole(T& field, char const* v, long long lo, long long hi) {
  std::optional<long long> const n = parseLong(v, lo, hi);
  if (!n) return false;
  field = static_cast<T>(*n);
  return true;
}

// Stores a number in [lo, hi] in the field; false when the text is anything else.
bool setReal(double& field, char const* v, double lo, double hi) {
  std::optional<double> const d = parseDouble(v, lo, hi);
  if (!d) return false;
  field = *d;
  return true;
}

bool setFlag(bool& field, bool value) {
  field = value;
  return true;
}

bool setText(std::string& field, char const* v) {
  field = v;
  return true;
}

// The comma-separated entries of an option's value (none empty); nothing when one is empty.
std::optional<std::vector<std::string>> splitList(char const* v) {
  std::vector<std::string> items;
  std::string const text = v;
  for (size_t start = 0;;) {
    size_t const comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (items.back().empty()) return std::nullopt;
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

// Video files, one per channel; their codec is the option's.
bool setFile(Options& o, char const* v, Codec codec) {
  std::optional<std::vector<std::string>> files = splitList(v);
  if (!files) return false;
  o.files = *files;
  o.file = o.files[0];
  o.codec = codec;
  return true;
}

bool setCodec(Options& o, char const* v) {
  if (std::strcmp(v, "h264") == 0)
    o.codec = Codec::H264;
  else if (std::strcmp(v, "h265") == 0)
    o.codec = Codec::H265;
  else if (std::strcmp(v, "mpeg4") == 0)
    o.codec = Codec::Mpeg4;
  else
    return false;
  return true;
}

// WxH[,WxH...], both even and within 16..4096.
bool setSize(Options& o, char const* v) {
  std::optional<std::vector<std::string>> items = splitList(v);
  if (!items) return false;
  o.sizes.clear();
  for (std::string const& item : *items) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(item.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2 ||
        h % 2)
      return false;
    o.sizes.emplace_back(w, h);
  }
  o.width = o.sizes[0].first;
  o.height = o.sizes[0].second;
  return true;
}

// Bit rates in ffmpeg's syntax: digits, '.', and the k/K/M suffixes; one per channel.
bool setBitrate(Options& o, char const* v) {
  std::optional<std::vector<std::string>> items = splitList(v);
  if (!items) return false;
  for (std::string const& item : *items) {
    if (std::strspn(item.c_str(), "0123456789.kKM") != item.size()) return false;
  }
  o.bitrates = *items;
  o.bitrate = o.bitrates[0];
  return true;
}

// One command-line option: its name, whether a value follows it, and what it does to the options (false when the
// value is not acceptable; flags get no value).
struct OptionHandler {
  char const* name;
  bool takesValue;
  bool (*apply)(Options& o, char const* value);
};

OptionHandler const kOptionHandlers[] = {
    {"--no-video", false, [](Options& o, char const*) { return setFlag(o.video, false); }},
    {"--no-audio", false, [](Options& o, char const*) { return setFlag(o.audio, false); }},
    {"--report", false, [](Options& o, char const*) { return setFlag(o.report, true); }},
    {"--video-port", true, [](Options& o, char const* v) { return setWhole(o.videoPort, v, 0, 65535); }},
    {"--channels", true, [](Options& o, char const* v) { return setWhole(o.channels, v, 1, 4); }},
    {"--audio-port", true, [](Options& o, char const* v) { return setWhole(o.audioPort, v, 0, 65535); }},
    {"--codec", true, setCodec},
    {"--h264-file", true, [](Options& o, char const* v) { return setFile(o, v, Codec::H264); }},
    {"--h265-file", true, [](Options& o, char const* v) { return setFile(o, v, Codec::H265); }},
    {"--mpeg4-file", true, [](Options& o, char const* v) { return setFile(o, v, Codec::Mpeg4); }},
    {"--fps", true, [](Options& o, char const* v) { return setWhole(o.fps, v, 1, 240); }},
    {"--rate-fps", true, [](Options& o, char const* v) { return setReal(o.rateFps, v, 0.1, 1000); }},
    {"--size", true, setSize},
    {"--bitrate", true, setBitrate},
    {"--gop", true, [](Options& o, char const* v) { return setWhole(o.gop, v, 1, 1000); }},
    {"--clip-seconds", true, [](Options& o, char const* v) { return setReal(o.clipSeconds, v, 0.04, 120); }},
    {"--cache-dir", true, [](Options& o, char const* v) { return setText(o.cacheDir, v); }},
    {"--tone-hz", true, [](Options& o, char const* v) { return setWhole(o.toneHz, v, 1, kAudioRate / 2 - 1); }},
    {"--audio-chunk-ms", true, [](Options& o, char const* v) { return setWhole(o.audioChunkMs, v, 1, 1000); }},
    {"--chunk", true, [](Options& o, char const* v) { return setWhole(o.chunk, v, 1, 1LL << 30); }},
    {"--close-after", true, [](Options& o, char const* v) { return setWhole(o.closeAfter, v, 1, 1LL << 40); }},
    {"--big-unit", true, [](Options& o, char const* v) { return setWhole(o.bigUnit, v, 2, 64LL << 20); }},
    {"--big-nal", true, [](Options& o, char const* v) { return setWhole(o.bigNal, v, 2, 64LL << 20); }},
    {"--backlog-bytes", true, [](Options& o, char const* v) { return setWhole(o.backlogBytes, v, 1, 1LL << 30); }},
    {"--duration", true, [](Options& o, char const* v) { return setReal(o.duration, v, 0, 1e7); }},
    {"--timestamps", true, [](Options& o, char const* v) { return setText(o.timestampsFile, v); }},
};

OptionHandler const* findOption(std::string const& name) {
  for (OptionHandler const& h : kOptionHandlers)
    if (name == h.name) return &h;
  return nullptr;
}

ParsedOptions failure(std::string message) {
  ParsedOptions r;
  r.error = std::move(message);
  return r;
}

}  // namespace

void usage(FILE* f) {
  std::fprintf(
      f,
      "usage: ostra-producer [options]\n"
      "  --video-port P        video port on 127.0.0.1 (default 13032; 0 picks a free one)\n"
      "  --channels N          video channels, 1 to 4 (default 1): channel k on video port + k, each with its own\n"
      "                        clip; --size, --bitrate and the file options take one entry per channel (a,b,...)\n"
      "  --audio-port P        audio port on 127.0.0.1 (default 13132; 0 picks a free one)\n"
      "  --no-video            do not listen for video (connections are refused)\n"
      "  --no-audio            do not listen for audio (connections are refused)\n"
      "  --codec h264|h265|mpeg4  video codec (default h264); clips are made with ffmpeg's libx264, libx265\n"
      "                        (parameter sets before every key picture) or mpeg4 encoder\n"
      "  --h264-file F         stream this Annex B file instead of a generated clip (implies --codec h264)\n"
      "  --h265-file F         stream this H.265 Annex B file (implies --codec h265)\n"
      "  --mpeg4-file F        stream this MPEG-4 part 2 elementary stream (implies --codec mpeg4)\n"
      "  --fps N               frame rate of the generated clip and of the pacing (default 25)\n"
      "  --rate-fps R          pace the video at R frames per second instead (e.g. 30 against a 25 fps clip)\n"
      "  --size WxH            generated clip size (default 640x360)\n"
      "  --bitrate B           generated clip bit rate, ffmpeg syntax (default 1000k)\n"
      "  --gop N               key frame interval of the generated clip, in frames (default 25)\n"
      "  --clip-seconds S      length of the generated clip, rounded up to whole GOPs (default 4)\n"
      "  --cache-dir D         where generated clips are kept (default $TMPDIR/ostra-producer-<uid>)\n"
      "  --tone-hz F           audio tone frequency, whole Hz (default 440)\n"
      "  --audio-chunk-ms M    audio chunk length (default 20: 320 bytes)\n"
      "  --chunk N             cut every write into writes of at most N bytes\n"
      "  --close-after N       close each connection after N units (access units, frames, audio chunks)\n"
      "  --big-unit BYTES      pad every key access unit with filler NAL units so it exceeds BYTES (H.264)\n"
      "  --big-nal BYTES       append one filler NAL unit of exactly BYTES bytes to every key access unit (H.264)\n"
      "  --backlog-bytes N     per-connection backlog of unsent units (default 4194304)\n"
      "  --report              print connection open/close lines and a final summary on stdout\n"
      "  --duration S          exit after S seconds (default: run until SIGINT/SIGTERM)\n"
      "  --timestamps FILE     append '<unit index> <CLOCK_REALTIME ns at write start> <bytes>' per video unit\n"
      "                        written (audio units when video is off)\n");
}

Options channelOptions(Options const& o, int k) {
  Options c = o;
  auto entry = [k](auto const& list) { return list[std::min(static_cast<size_t>(k), list.size() - 1)]; };
  if (!o.files.empty()) c.file = entry(o.files);
  if (!o.bitrates.empty()) c.bitrate = entry(o.bitrates);
  if (!o.sizes.empty()) {
    c.width = entry(o.sizes).first;
    c.height = entry(o.sizes).second;
  }
  return c;
}

ParsedOptions parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    if (a == "--help" || a == "-h") {
      ParsedOptions help;
      help.help = true;
      return help;
    }
    OptionHandler const* h = findOption(a);
    if (!h) return failure("unknown option " + a + " (see --help)");
    char const* v = nullptr;
    if (h->takesValue) {
      if (i + 1 >= argc) return failure(a + " needs a value");
      v = argv[++i];
    }
    if (!h->apply(o, v)) return failure("bad value for " + a + ": " + v);
  }
  if ((o.bigUnit || o.bigNal) && o.codec != Codec::H264) return failure("--big-unit and --big-nal need H.264 video");
  if (o.videoPort != 0 && o.videoPort + o.channels - 1 > 65535) return failure("--channels goes past port 65535");
  if (o.rateFps == 0) o.rateFps = o.fps;
  ParsedOptions r;
  r.options = std::move(o);
  return r;
}

}  // namespace ostra_producer
