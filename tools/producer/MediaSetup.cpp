// Start-up preparation of the media: the video units and their headers, the audio tone table, the pacing.
#include "MediaSetup.hh"

#include "Clip.hh"

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostra_producer {

namespace {

// Loads (or generates) one channel's clip and cuts it into units. False (the reason on standard error) when there is
// no clip.
bool loadClip(VideoClip& clip) {
  Options const& o = clip.opt;
  std::string path = o.file;
  if (path.empty()) {
    std::optional<std::string> clipPath = prepareClip(o);
    if (!clipPath) return false;
    path = *clipPath;
  }
  std::optional<std::vector<uint8_t>> bytes = readWholeFile(path);
  if (!bytes || bytes->empty()) {
    std::fprintf(stderr, "ostra-producer: cannot read %s\n", path.c_str());
    return false;
  }
  clip.bytes = std::move(*bytes);
  uint8_t const* d = clip.bytes.data();
  if (o.codec == Codec::H264) {
    clip.units = splitH264AccessUnits(d, clip.bytes.size());
    // Keep the first SPS and PPS, sent in front of a joining key unit that lacks them.
    bool sps = false, pps = false;
    for (StreamElement const& e : findElements(d, clip.bytes.size())) {
      int const t = nalType(d, e);
      if ((t == 7 && !sps) || (t == 8 && !pps)) {
        clip.headers.insert(clip.headers.end(), d + e.offset, d + e.end);
        (t == 7 ? sps : pps) = true;
      }
    }
    for (StreamUnit const& u : clip.units)
      clip.unitHasHeaders.push_back(containsElement(d + u.offset, u.size, [](uint8_t b) { return (b & 0x1F) == 7; }));
  } else if (o.codec == Codec::H265) {
    clip.units = splitH265AccessUnits(d, clip.bytes.size());
    // Keep the first VPS, SPS and PPS, sent in front of a joining key unit that lacks them.
    bool seen[3] = {false, false, false};
    for (StreamElement const& e : findElements(d, clip.bytes.size())) {
      int const t = h265NalType(d, e);
      if (t >= 32 && t <= 34 && !seen[t - 32]) {
        clip.headers.insert(clip.headers.end(), d + e.offset, d + e.end);
        seen[t - 32] = true;
      }
    }
    for (StreamUnit const& u : clip.units)
      clip.unitHasHeaders.push_back(
          containsElement(d + u.offset, u.size, [](uint8_t b) { return ((b >> 1) & 0x3F) == 32; }));
  } else {
    clip.units = splitMpeg4Frames(d, clip.bytes.size());
    if (!clip.units.empty()) {  // the headers in front of the first VOP
      StreamUnit const& u0 = clip.units[0];
      for (StreamElement const& e : findElements(d + u0.offset, u0.size)) {
        if (e.payloadOffset < e.end && d[u0.offset + e.payloadOffset] == kVopStartCode) {
          clip.headers.assign(d + u0.offset, d + u0.offset + e.offset);
          break;
        }
      }
    }
    for (StreamUnit const& u : clip.units)
      clip.unitHasHeaders.push_back(containsElement(d + u.offset, u.size, isVolStartCode));
  }
  bool anyKey = false;
  for (StreamUnit const& u : clip.units) anyKey = anyKey || u.key;
  if (!anyKey) {
    std::fprintf(stderr, "ostra-producer: no key frame in %s; connections join at its first unit\n", path.c_str());
    clip.units[0].key = true;
  }
  return true;
}

}  // namespace

bool prepareVideo(Producer& p) {
  Options const& o = p.opt;
  for (int k = 0; k < o.channels; ++k) {
    auto clip = std::make_unique<VideoClip>();
    clip->opt = channelOptions(o, k);
    if (!loadClip(*clip)) return false;
    auto m = std::make_unique<Medium>();
    char name[32];
    std::snprintf(name, sizeof name, "video-ch%02d", k + 1);
    m->name = k == 0 ? "video" : name;
    m->isVideo = true;
    m->clip = clip.get();
    m->periodNs = static_cast<int64_t>(1e9 / o.rateFps);
    p.clips.push_back(std::move(clip));
    p.videos.push_back(std::move(m));
  }
  if (o.bigNal) p.bigNalPad = makeFillerNal(o.bigNal);
  if (o.bigUnit) {
    constexpr size_t kPiece = 4096;  // filler NAL units of 4096 bytes each until the padding alone exceeds BYTES
    while (p.bigUnitPad.size() <= o.bigUnit) p.bigUnitPad += makeFillerNal(kPiece);
  }
  return true;
}

void prepareAudio(Producer& p) {
  Options const& o = p.opt;
  p.tone.resize(kAudioRate);
  double const pi = std::acos(-1.0);
  for (int n = 0; n < kAudioRate; ++n)
    p.tone[static_cast<size_t>(n)] =
        static_cast<int16_t>(std::lround(9830.0 * std::sin(2 * pi * o.toneHz * n / kAudioRate)));  // -10 dBFS
  p.samplesPerChunk = static_cast<size_t>(kAudioRate * o.audioChunkMs / 1000);
  p.audio.name = "audio";
  p.audio.isVideo = false;
  p.audio.periodNs = static_cast<int64_t>(o.audioChunkMs) * 1000000;
}

std::string describeVideo(Options const& o) {
  char buf[512];
  char const* codec = o.codec == Codec::H264 ? "H.264" : o.codec == Codec::H265 ? "H.265" : "MPEG-4";
  if (o.file.empty())
    std::snprintf(buf, sizeof buf, "%s %dx%d %d fps", codec, o.width, o.height, o.fps);
  else
    std::snprintf(buf, sizeof buf, "%s from %s, %d fps", codec, o.file.c_str(), o.fps);
  std::string s = buf;
  if (o.rateFps != o.fps) {
    std::snprintf(buf, sizeof buf, ", paced at %g fps", o.rateFps);
    s += buf;
  }
  return s;
}

}  // namespace ostra_producer
