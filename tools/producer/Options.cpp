// Parsing of the ostra-producer command line.
#include "Options.hh"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

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

}  // namespace

void usage(FILE* f) {
  std::fprintf(
      f,
      "usage: ostra-producer [options]\n"
      "  --video-port P        video port on 127.0.0.1 (default 13032; 0 picks a free one)\n"
      "  --audio-port P        audio port on 127.0.0.1 (default 13132; 0 picks a free one)\n"
      "  --no-video            do not listen for video (connections are refused)\n"
      "  --no-audio            do not listen for audio (connections are refused)\n"
      "  --codec h264|mpeg4    video codec (default h264)\n"
      "  --h264-file F         stream this Annex B file instead of a generated clip (implies --codec h264)\n"
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

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](char const** v) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "ostra-producer: %s needs a value\n", a.c_str());
        return false;
      }
      *v = argv[++i];
      return true;
    };
    auto bad = [&](char const* v) {
      std::fprintf(stderr, "ostra-producer: bad value for %s: %s\n", a.c_str(), v);
      return false;
    };
    char const* v = nullptr;
    std::optional<long long> n;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (a == "--no-video") {
      o->video = false;
    } else if (a == "--no-audio") {
      o->audio = false;
    } else if (a == "--report") {
      o->report = true;
    } else if (a == "--video-port" || a == "--audio-port") {
      if (!value(&v)) return false;
      n = parseLong(v, 0, 65535);
      if (!n) return bad(v);
      (a == "--video-port" ? o->videoPort : o->audioPort) = static_cast<int>(*n);
    } else if (a == "--codec") {
      if (!value(&v)) return false;
      if (std::strcmp(v, "h264") == 0)
        o->codec = Codec::H264;
      else if (std::strcmp(v, "mpeg4") == 0)
        o->codec = Codec::Mpeg4;
      else
        return bad(v);
    } else if (a == "--h264-file" || a == "--mpeg4-file") {
      if (!value(&v)) return false;
      o->file = v;
      o->codec = a == "--h264-file" ? Codec::H264 : Codec::Mpeg4;
    } else if (a == "--fps") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 240);
      if (!n) return bad(v);
      o->fps = static_cast<int>(*n);
    } else if (a == "--rate-fps") {
      if (!value(&v)) return false;
      std::optional<double> const d = parseDouble(v, 0.1, 1000);
      if (!d) return bad(v);
      o->rateFps = *d;
    } else if (a == "--size") {
      if (!value(&v)) return false;
      int w = 0, h = 0;
      char tail = 0;
      if (std::sscanf(v, "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2 || h % 2)
        return bad(v);
      o->width = w;
      o->height = h;
    } else if (a == "--bitrate") {
      if (!value(&v)) return false;
      if (*v == '\0' || std::strspn(v, "0123456789.kKM") != std::strlen(v)) return bad(v);
      o->bitrate = v;
    } else if (a == "--gop") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 1000);
      if (!n) return bad(v);
      o->gop = static_cast<int>(*n);
    } else if (a == "--clip-seconds") {
      if (!value(&v)) return false;
      std::optional<double> const d = parseDouble(v, 0.04, 120);
      if (!d) return bad(v);
      o->clipSeconds = *d;
    } else if (a == "--cache-dir") {
      if (!value(&v)) return false;
      o->cacheDir = v;
    } else if (a == "--tone-hz") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, kAudioRate / 2 - 1);
      if (!n) return bad(v);
      o->toneHz = static_cast<int>(*n);
    } else if (a == "--audio-chunk-ms") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 1000);
      if (!n) return bad(v);
      o->audioChunkMs = static_cast<int>(*n);
    } else if (a == "--chunk") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 1LL << 30);
      if (!n) return bad(v);
      o->chunk = static_cast<size_t>(*n);
    } else if (a == "--close-after") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 1LL << 40);
      if (!n) return bad(v);
      o->closeAfter = static_cast<unsigned long long>(*n);
    } else if (a == "--big-unit" || a == "--big-nal") {
      if (!value(&v)) return false;
      n = parseLong(v, 2, 64LL << 20);
      if (!n) return bad(v);
      (a == "--big-unit" ? o->bigUnit : o->bigNal) = static_cast<size_t>(*n);
    } else if (a == "--backlog-bytes") {
      if (!value(&v)) return false;
      n = parseLong(v, 1, 1LL << 30);
      if (!n) return bad(v);
      o->backlogBytes = static_cast<size_t>(*n);
    } else if (a == "--duration") {
      if (!value(&v)) return false;
      std::optional<double> const d = parseDouble(v, 0, 1e7);
      if (!d) return bad(v);
      o->duration = *d;
    } else if (a == "--timestamps") {
      if (!value(&v)) return false;
      o->timestampsFile = v;
    } else {
      std::fprintf(stderr, "ostra-producer: unknown option %s (see --help)\n", a.c_str());
      return false;
    }
  }
  if ((o->bigUnit || o->bigNal) && o->codec != Codec::H264) {
    std::fprintf(stderr, "ostra-producer: --big-unit and --big-nal need H.264 video\n");
    return false;
  }
  if (o->rateFps == 0) o->rateFps = o->fps;
  return true;
}

}  // namespace ostra_producer
