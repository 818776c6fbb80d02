// The real daemon (Digest and audio on) behind tools/relay/ostra-relay.py,
// GStreamer's RTSP server pulling ch01 once over interleaved TCP: twenty
// ffmpeg viewers of the relay, one stream from the camera.
#include <algorithm>
#include <sstream>

#include "E2ESupport.hh"

using daemontest::countOf;
using namespace e2e;

namespace {

// 20 viewers at once, each copying video and audio for 5 s of stream time;
// from each that ended well a line "viewed <video frames>".
std::string const kViewers =
    "for i in $(seq 20); do (ffmpeg -nostdin -v error -rtsp_transport tcp -i rtsp://127.0.0.1:8555/ch01 -map 0 -c copy"
    " -t 5 -progress /var/tmp/v$i -f null - >/var/tmp/v$i.log 2>&1 &&"
    " echo viewed $(sed -n 's/^frame=//p' /var/tmp/v$i | tail -1) || cat /var/tmp/v$i.log) & done; wait";

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
          daemonCpu = daemontest::cpuPercentDuring(daemon->pid(), [&] { runCommand(kViewers, 60000, &out); });
        });
        int viewed = 0;
        long fewest = 1 << 30;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
          if (line.rfind("viewed ", 0) != 0) continue;
          ++viewed;
          fewest = std::min(fewest, strtol(line.c_str() + 7, nullptr, 10));
        }
        // ffmpeg rebases its stream time at the first RTCP sender report (79 to 124 frames in 5 s here): 2 s at least.
        check(viewed == 20 && fewest >= 50, "every viewer played video through the relay\n" + out + relay->err());
        fprintf(stdout,
                "figure: 20 viewers through the relay: fewest video frames %ld, CPU relay %.1f %%, daemon %.1f %%\n",
                fewest, relayCpu, daemonCpu);

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
