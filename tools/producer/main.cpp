// ostra-producer: a simulated local media producer, the other end of the daemon's producer links.
//
// It listens on the loopback interface, video on 127.0.0.1:13032 (and with --channels N the further video channels on
// 13033 and on, each with its own clip) and audio on 127.0.0.1:13132, and writes on every connection the byte stream
// a camera's encoder process would write:
//   - video, H.264 (default): an Annex B byte stream, one access unit per tick, from a file or from a clip generated
//     at start-up with ffmpeg/libx264 (parameter sets repeated before every IDR picture), looped;
//   - video, H.265 (--codec h265): an Annex B byte stream, as H.264;
//   - video, MPEG-4 part 2 (--codec mpeg4): an elementary stream, exactly one frame per write;
//   - audio: 16-bit mono PCM at 8000 samples/s in host byte order, a sine tone, in 20 ms chunks.
//
// Live timeline: each medium has one timeline that runs from start-up whether or not anybody listens, like a live
// camera. A new video connection joins at the next key frame of that timeline (H.264: the next IDR access unit, with
// the SPS/PPS in front of it; MPEG-4: the next intra VOP, with the VOS/VO/VOL headers in front of it); an audio
// connection joins at the next chunk. All connections of a medium therefore carry the same units at the same time.
//
// Slow readers: writes are non-blocking and never wait on one connection. Each connection keeps a bounded backlog
// of units that are due but not yet written (--backlog-bytes, at most 256 units). When a new unit would overflow
// it, the units queued behind the one being written are dropped and the connection re-joins the timeline at the next
// key frame (audio: with the next chunk); a unit already partly written is always finished, so the byte stream stays
// well-formed. Drops are counted in the report.
//
// Single-threaded: one ppoll() loop drives the listening sockets, the connections and the frame clocks.

#include "EventLoop.hh"
#include "Listener.hh"
#include "MediaSetup.hh"
#include "Options.hh"
#include "Producer.hh"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

using namespace ostra_producer;

namespace {

// The --timestamps file, appended to, one line per unit written.
bool openTimestamps(Producer& p) {
  p.timestamps = std::fopen(p.opt.timestampsFile.c_str(), "a");
  if (!p.timestamps) {
    std::fprintf(stderr, "ostra-producer: cannot open %s: %s\n", p.opt.timestampsFile.c_str(), std::strerror(errno));
    return false;
  }
  setvbuf(p.timestamps, nullptr, _IOLBF, 0);
  return true;
}

// What the producer serves and where, e.g. "ostra-producer: video on 127.0.0.1:13032 (H.264 640x360 25 fps), audio
// on 127.0.0.1:13132".
std::string startupLine(Producer const& p) {
  std::string line = "ostra-producer: ";
  char buf[128];
  if (p.opt.video) {
    for (size_t k = 0; k < p.videos.size(); ++k) {
      std::snprintf(buf, sizeof buf, "%s%s on 127.0.0.1:%d (", k ? ", " : "", p.videos[k]->name.c_str(),
                    p.videos[k]->port);
      line += buf + describeVideo(p.clips[k]->opt) + ")";
    }
  } else {
    line += "video off";
  }
  if (p.opt.audio) {
    std::snprintf(buf, sizeof buf, ", audio on 127.0.0.1:%d", p.audio.port);
    line += buf;
  } else {
    line += ", audio off";
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedOptions parsed = parseOptions(argc, argv);
  if (parsed.help) {
    usage(stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "ostra-producer: %s\n", parsed.error.c_str());
    return 2;
  }
  Producer p;
  p.opt = std::move(*parsed.options);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Options const& o = p.opt;
  if (!o.video && !o.audio) {
    std::fprintf(stderr, "ostra-producer: nothing to serve (--no-video and --no-audio)\n");
    return 2;
  }
  if (o.video && !prepareVideo(p)) return 1;
  if (o.audio) prepareAudio(p);
  for (size_t k = 0; k < p.videos.size(); ++k) {
    if (!listenOn(*p.videos[k], o.videoPort == 0 ? 0 : o.videoPort + static_cast<int>(k))) return 1;
  }
  if (o.audio && !listenOn(p.audio, o.audioPort)) return 1;
  (o.video ? *p.videos[0] : p.audio).timestamped = true;
  if (!o.timestampsFile.empty() && !openTimestamps(p)) return 1;
  std::fprintf(stderr, "%s\n", startupLine(p).c_str());

  int const rc = run(p);
  if (p.timestamps) std::fclose(p.timestamps);
  return rc;
}
