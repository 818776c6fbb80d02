// Generation (with ffmpeg), caching and reading of the looped video clip.
#include "Clip.hh"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ostra_producer {

namespace {

// An ffmpeg bit rate ("1000k", "40M", "800000") in kilobits per second.
long bitrateKbps(std::string const& rate) {
  char* end = nullptr;
  double v = std::strtod(rate.c_str(), &end);
  if (end != nullptr && (*end == 'k' || *end == 'K')) return std::lround(v);
  if (end != nullptr && (*end == 'm' || *end == 'M')) return std::lround(v * 1000);
  return std::max(1L, std::lround(v / 1000));
}

// Runs a program and waits for it; true when it exits with status 0.
bool runProgram(std::vector<std::string> const& args) {
  std::vector<char*> argv;
  for (std::string const& s : args) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// libx265 with a fixed GOP, no scene cuts and the parameter sets (VPS, SPS,
// PPS) repeated before every key picture, capped at the bit rate.
void appendH265Encoder(std::vector<std::string>& args, Options const& o) {
  for (char const* s : {"-c:v", "libx265", "-preset", "veryfast", "-x265-params"}) args.push_back(s);
  std::string const kbps = std::to_string(bitrateKbps(o.bitrate));
  args.push_back("log-level=error:repeat-headers=1:scenecut=0:bframes=0:keyint=" + std::to_string(o.gop) +
                 ":min-keyint=" + std::to_string(o.gop) + ":vbv-maxrate=" + kbps + ":vbv-bufsize=" + kbps);
  args.push_back("-f");
  args.push_back("hevc");
}

std::string defaultCacheDir() {
  char const* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && *tmp) ? tmp : "/tmp";
  return base + "/ostra-producer-" + std::to_string(static_cast<unsigned long>(getuid()));
}

}  // namespace

std::optional<std::vector<uint8_t>> readWholeFile(std::string const& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  bool const ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) return std::nullopt;
  return bytes;
}

// Generates (or finds in the cache) the looped test clip. Its length is a whole number of GOPs so the key frame
// rhythm stays regular across the loop.
std::optional<std::string> prepareClip(Options const& o) {
  std::string dir = o.cacheDir.empty() ? defaultCacheDir() : o.cacheDir;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "ostra-producer: cannot create cache directory %s: %s\n", dir.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  long const frames = std::max(1L, static_cast<long>(std::ceil(o.clipSeconds * o.fps / o.gop))) * o.gop;
  bool const h264 = o.codec == Codec::H264;
  bool const h265 = o.codec == Codec::H265;
  char const* const codecName = h264 ? "h264" : h265 ? "h265" : "mpeg4";
  char const* const suffix = h264 ? ".h264" : h265 ? ".h265" : ".m4v";
  const std::string name = std::string("clip-") + codecName + "-" + std::to_string(o.width) + "x" +
                           std::to_string(o.height) + "-" + std::to_string(o.fps) + "fps-g" + std::to_string(o.gop) +
                           "-" + o.bitrate + "-" + std::to_string(frames) + "f" + suffix;
  std::string const path = dir + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;

  const std::string tmp = dir + "/.tmp-" + std::to_string(static_cast<long>(getpid())) + "-" + name;
  std::vector<std::string> args = {
      "ffmpeg",
      "-nostdin",
      "-hide_banner",
      "-loglevel",
      "error",
      "-y",
      "-f",
      "lavfi",
      "-i",
      "testsrc2=size=" + std::to_string(o.width) + "x" + std::to_string(o.height) + ":rate=" + std::to_string(o.fps),
      "-frames:v",
      std::to_string(frames),
      "-pix_fmt",
      "yuv420p",
      "-bf",
      "0",
      "-g",
      std::to_string(o.gop),
      "-b:v",
      o.bitrate};
  if (h264) {
    for (char const* s : {"-c:v", "libx264", "-preset", "veryfast", "-keyint_min"}) args.push_back(s);
    args.push_back(std::to_string(o.gop));
    for (char const* s : {"-sc_threshold", "0", "-x264-params", "repeat-headers=1", "-maxrate"}) args.push_back(s);
    args.push_back(o.bitrate);
    args.push_back("-bufsize");
    args.push_back(o.bitrate);
    args.push_back("-f");
    args.push_back("h264");
  } else if (h265) {
    appendH265Encoder(args, o);
  } else {
    for (char const* s : {"-c:v", "mpeg4", "-f", "m4v"}) args.push_back(s);
  }
  args.push_back(tmp);
  std::fprintf(stderr, "ostra-producer: generating %s with ffmpeg\n", path.c_str());
  if (!runProgram(args)) {
    std::fprintf(stderr, "ostra-producer: ffmpeg failed to generate the clip\n");
    unlink(tmp.c_str());
    return std::nullopt;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "ostra-producer: cannot rename %s: %s\n", tmp.c_str(), std::strerror(errno));
    unlink(tmp.c_str());
    return std::nullopt;
  }
  return path;
}

}  // namespace ostra_producer
