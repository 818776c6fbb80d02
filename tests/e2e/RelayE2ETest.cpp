// The real daemon (Digest and audio on) behind tools/relay/ostra-relay.py,
// GStreamer's RTSP server pulling ch01 once over interleaved TCP: twenty
// ffmpeg viewers of the relay, one stream from the camera.
#include <algorithm>
#include <sstream>

#include "E2ESupport.hh"

using daemontest::countOf;
using namespace e2e;

namespace {

int const kViewers = 20;

// The viewers at once, copying video and audio for 5 s of stream time; one
// "viewed <n>" line each that ended well, its video frames in /var/tmp/v<n>.
std::string viewersCommand(std::string const& url) {
  return "for i in $(seq " + std::to_string(kViewers) + "); do (ffmpeg -nostdin -v error -rtsp_transport tcp -i " +
         url +
         " -map 0 -c copy -t 5 -progress /var/tmp/v$i -f null - >/var/tmp/v$i.log 2>&1 && echo viewed $i ||"
         " cat /var/tmp/v$i.log) & done; wait";
}

long framesOf(int viewer) {
  long frames = -1;
  std::istringstream lines(readFile("/var/tmp/v" + std::to_string(viewer)));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("frame=", 0) == 0) frames = strtol(line.c_str() + 6, nullptr, 10);
  }
  return frames;
}

}  // namespace

TEST(RelayE2E, OnePullFromTheCameraServesTwentyViewers) {
  runScenario(
      [] {
        Checks check;
        auto producer = start({producerBinary(), "--report"});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        writeFile("/talpa/bin/ostra.xml", "<sys><audio>1</audio></sys>\n");
        writeFile("/var/etc/httppasswd", "alice:secret\n");
        writeFile("/var/etc/relay-password", "secret\n");
        auto daemon = start({ostraBinary()});
        auto relay =
            start({OSTRA_SOURCE_DIR "/tools/relay/ostra-relay.py", "--camera", "rtsp://127.0.0.1:8554/ch01", "--user",
                   "alice", "--password-file", "/var/etc/relay-password", "--address", "127.0.0.1", "--port", "8555"});
        check(relay->waitForText("ostra-relay: serving rtsp://127.0.0.1:8555/ch01\n", 30000), "relay\n" + relay->err());
        if (!check(daemon->waitForText("/ch01\n", 30000), "daemon serving\n" + daemon->err())) return check.failures;

        std::string out;
        double daemonCpu = 0;
        double relayCpu = daemontest::cpuPercentDuring(relay->pid(), [&] {
          daemonCpu = daemontest::cpuPercentDuring(
              daemon->pid(), [&] { runCommand(viewersCommand("rtsp://127.0.0.1:8555/ch01"), 60000, &out); });
        });
        check(countOf(out, "viewed ") == kViewers, "every viewer played through the relay\n" + out + relay->err());
        long fewest = 1000000;
        for (int v = 1; v <= kViewers; ++v) fewest = std::min(fewest, framesOf(v));
        // ffmpeg counts the 5 s in stream time, which it rebases at the first RTCP sender report (about 4 s of
        // frames then, 95 to 121 here): at least 2 s each.
        check(fewest >= 50, "each viewer got video: fewest frames " + std::to_string(fewest));
        fprintf(stdout,
                "figure: %d viewers through the relay: fewest video frames %ld, CPU relay %.1f %%, daemon %.1f %%\n",
                kViewers, fewest, relayCpu, daemonCpu);

        // The camera's side: its description link (opened and closed at the
        // first DESCRIBE) and one stream link per medium, whatever the viewers.
        producer->waitForCount("open audio", 2, 2000, true);
        std::string links = producer->out();
        check(countOf(links, "open video") == 2 && countOf(links, "open audio") == 2,
              "one producer link per medium for all viewers\n" + links);
        return check.failures;
      },
      150000);
}
