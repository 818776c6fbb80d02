// The producer's state: the media with their timelines, the connections with their backlogs of due units, and
// the buffers the units' bytes come from.
#pragma once

#include "AnnexB.hh"
#include "Options.hh"

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ostra_producer {

constexpr size_t kMaxBacklogUnits = 256;
constexpr int kMaxConnectionsPerMedium = 64;

struct Segment {
  uint8_t const* data = nullptr;
  size_t size = 0;
};

// One unit due on a connection. Its bytes live in buffers that stay unchanged for the whole run (the clip, the
// header copy, the padding, the tone table), so queueing a unit copies no payload.
struct Pending {
  Segment seg[4];
  int nseg = 0;
  size_t total = 0;
  size_t written = 0;
  unsigned long long index = 0;  // position on the medium's timeline
};

struct Medium;

struct Connection {
  int fd = -1;
  unsigned id = 0;
  Medium* medium = nullptr;
  bool joined = false;  // false until the next key unit of the timeline
  bool dead = false;
  std::vector<Pending> ring = std::vector<Pending>(kMaxBacklogUnits);
  size_t head = 0;
  size_t count = 0;
  size_t queuedBytes = 0;
  unsigned long long unitsQueued = 0;
  unsigned long long unitsSent = 0;
  unsigned long long bytesSent = 0;
  unsigned long long writes = 0;
  size_t largestWrite = 0;
  unsigned long long dropped = 0;
};

// A video channel's looped clip, cut into units.
struct VideoClip {
  Options opt;  // the channel's own size, bit rate and file
  std::vector<uint8_t> bytes;
  std::vector<StreamUnit> units;
  std::vector<bool> unitHasHeaders;
  std::vector<uint8_t> headers;  // parameter sets (H.264) or VOS/VO/VOL headers (MPEG-4) of the clip
};

struct Medium {
  std::string name;                 // "video" (the first channel), "video-ch02"..., "audio"
  VideoClip const* clip = nullptr;  // video: the channel's clip
  bool isVideo = false;
  bool timestamped = false;  // its units go to --timestamps
  int listenFd = -1;
  int port = 0;
  int64_t periodNs = 0;
  int64_t nextTick = 0;
  unsigned long long index = 0;
  std::vector<std::unique_ptr<Connection>> conns;
  unsigned long long totalConns = 0, totalUnits = 0, totalBytes = 0, totalDropped = 0;
};

struct Producer {
  Options opt;
  // video, one clip and one medium per channel (channel k on --video-port + k)
  std::vector<std::unique_ptr<VideoClip>> clips;
  std::vector<std::unique_ptr<Medium>> videos;
  std::string bigNalPad, bigUnitPad;
  // audio
  std::vector<int16_t> tone;  // one second: a whole number of periods of a whole-Hz tone
  size_t samplesPerChunk = 0;

  Medium audio;
  FILE* timestamps = nullptr;
  unsigned nextConnId = 1;
  std::vector<pollfd> pfds;
  std::vector<Connection*> pconns;
};

}  // namespace ostra_producer
