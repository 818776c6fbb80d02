// The H.264 track through the daemon, end to end: NAL units far larger than a
// parser bank reach an interleaved client whole, nothing is added to the
// producer's NAL units, ffmpeg decodes a long stream of large I-frames, and a
// reader that stops reading resumes at a key frame.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "H264E2ESupport.hh"

using daemontest::countOf;
using namespace e2e;
using namespace e2e::h264;

namespace {

// Key access units carrying one 800,000-byte NAL unit each (a filler NAL
// unit, type 12, header included) pass the parser's 1,000,000-byte banks and
// reach a client whole and unchanged, in the access unit of their IDR picture,
// and the daemon adds no access unit delimiter of its own.
TEST(H264E2E, LargeNalUnitsArriveWholeWithoutAddedDelimiters) {
  runScenario(
      [] {
        Checks check;
        size_t const kBig = 800000;
        int const kKeyFrames = 10;
        auto producer = startProducer({"--big-nal", std::to_string(kBig), "--gop", "10"});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
        RtspClient c;
        std::string sdp = c.request("DESCRIBE", kUrl);
        check(sdp.find("a=rtpmap:96 H264/90000") != std::string::npos, "DESCRIBE\n" + sdp);
        if (!playInterleaved(check, c)) return check.failures;

        int sps = 0, idr = 0, slices = 0, delimiters = 0, fillers = 0, wrongSize = 0, wrongBytes = 0;
        int idrWithMarker = 0, fillerWithoutMarker = 0, fillerOtherTimestamp = 0;
        uint32_t idrTimestamp = 0;
        std::string const filler = std::string(1, '\x0C') + std::string(kBig - 2, '\xFF') + std::string(1, '\x80');
        H264Depacketizer rtp;
        rtp.onNal = [&](Nal const& nal) {
          unsigned const type = static_cast<unsigned char>(nal.bytes[0]) & 0x1F;
          if (type == kNalSps) ++sps;
          if (type == kNalAud) ++delimiters;
          if (type == kNalSlice) ++slices;
          if (type == kNalIdr) {
            ++idr;
            idrTimestamp = nal.timestamp;
            if (nal.marker) ++idrWithMarker;  // the filler after it belongs to the same access unit
          }
          if (type == kNalFiller) {
            ++fillers;
            if (nal.bytes.size() != kBig) {
              ++wrongSize;
              fprintf(stderr, "filler NAL unit of %zu bytes\n", nal.bytes.size());
            } else if (nal.bytes != filler) {
              ++wrongBytes;
            }
            if (!nal.marker) ++fillerWithoutMarker;
            if (nal.timestamp != idrTimestamp) ++fillerOtherTimestamp;
          }
        };
        // Until the parameter sets of key frame kKeyFrames + 1 arrive.
        bool const received = receive(
            c, rtp, [&] { return sps > kKeyFrames; }, 30000);
        check(received, "received " + std::to_string(kKeyFrames) + " key frames; got " + std::to_string(sps));
        check(wrongSize == 0, std::to_string(wrongSize) + " large NAL units arrived with another size");
        check(wrongBytes == 0, std::to_string(wrongBytes) + " large NAL units arrived with altered bytes");
        check(idr == kKeyFrames && fillers == kKeyFrames,
              "every key frame brought its large NAL unit: IDR " + std::to_string(idr) + ", large " +
                  std::to_string(fillers) + " of " + std::to_string(kKeyFrames));
        check(slices >= (kKeyFrames - 1) * 9, "the P pictures in between arrive: " + std::to_string(slices));
        check(idrWithMarker == 0 && fillerWithoutMarker == 0 && fillerOtherTimestamp == 0,
              "the large NAL unit ends its key access unit: marker on the IDR slice " + std::to_string(idrWithMarker) +
                  ", large unit without marker " + std::to_string(fillerWithoutMarker) + ", with another timestamp " +
                  std::to_string(fillerOtherTimestamp));
        check(delimiters == 0, std::to_string(delimiters) + " access unit delimiters the producer did not send");
        check(rtp.sequenceGaps == 0 && rtp.brokenFragments == 0 && rtp.otherPayloads == 0,
              "clean RTP: gaps " + std::to_string(rtp.sequenceGaps) + ", broken fragments " +
                  std::to_string(rtp.brokenFragments) + ", other payloads " + std::to_string(rtp.otherPayloads));
        check(daemon->running(), "daemon still running");
        checkNoParserTrouble(check, daemon->err());
        return check.failures;
      },
      120000);
}

// A clip whose IDR pictures are single slices of about 460 kB (a fixed noise
// pattern over the test picture, fine quantisation for I pictures) with small
// P pictures, 1280x720, a key frame every 25 frames. Made once and kept.
std::string largeIFrameClip(Checks& check) {
  std::string dir = "/tmp/ostra-e2e-" + std::to_string(getuid());
  std::string path = dir + "/h264-720p-large-idr.h264";
  if (access(path.c_str(), R_OK) == 0) return path;
  mkdir(dir.c_str(), 0700);
  std::string tmp = path + ".part" + std::to_string(getpid());
  std::string out;
  int rc = runCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i 'testsrc2=size=1280x720:rate=25,noise=alls=8'"
      " -frames:v 100 -pix_fmt yuv420p -bf 0 -c:v libx264 -preset veryfast -qp 24"
      " -x264-params ipratio=3:repeat-headers=1:keyint=25:min-keyint=25:scenecut=0 -f h264 " +
          tmp,
      180000, &out);
  if (!check(rc == 0 && rename(tmp.c_str(), path.c_str()) == 0, "clip with large I-frames made: " + out)) {
    unlink(tmp.c_str());
    return std::string();
  }
  return path;
}

// ffmpeg decodes a long stream of large I-frames (OSTRA_SOAK_SECONDS, 60 by
// default) over interleaved TCP without a single error, and gets as many
// pictures as the producer sent.
TEST(H264E2E, FfmpegDecodesLongStreamOfLargeIFrames) {
  int const seconds = envSeconds("OSTRA_SOAK_SECONDS", 60);
  runScenario(
      [seconds] {
        Checks check;
        std::string clip = largeIFrameClip(check);
        if (clip.empty()) return check.failures;
        // The key frames really are large: the smallest I picture of the clip.
        std::string sizes;
        runCommand("ffprobe -v error -select_streams v -show_entries frame=pict_type,pkt_size -of csv=p=0 " + clip +
                       " | awk -F, '$2==\"I\" && (m==\"\" || $1<m) {m=$1} END {print m}'",
                   60000, &sizes);
        long smallestI = strtol(sizes.c_str(), nullptr, 10);
        check(smallestI >= 300000, "I-frames of at least 300 kB, smallest " + sizes);
        printf("figure: smallest I-frame of the soak clip %ld bytes\n", smallestI);

        auto producer = startProducer({"--h264-file", clip});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;

        long frames = 0;
        std::string out = ffmpegDecode(kUrl, "tcp", seconds, "-fps_mode passthrough", &frames);
        check(out == "decoded\n", "ffmpeg decodes " + std::to_string(seconds) + " s without errors: " + out);
        long const expected = 25L * seconds;
        check(std::labs(frames - expected) <= expected / 50 + 5,
              "decoded " + std::to_string(frames) + " pictures, expected about " + std::to_string(expected));
        printf("figure: ffmpeg decoded %ld pictures in %d s of large I-frames (expected %ld)\n", frames, seconds,
               expected);
        // The session ended with ffmpeg: the producer connection closes, and
        // the producer never had to drop units for a slow reader.
        int64_t const deadline = daemontest::nowMs() + 10000;
        while (countOf(producer->out(), "close video") < countOf(producer->out(), "open video") &&
               daemontest::nowMs() < deadline) {
          producer->pump(100);
        }
        check(countOf(producer->out(), "close video") == countOf(producer->out(), "open video"),
              "stream connection closed\n" + producer->out());
        std::string const& report = producer->out();
        check(countOf(report, " dropped=0\n") == countOf(report, "close video"), "no unit dropped\n" + report);
        check(daemon->running(), "daemon still running");
        checkNoParserTrouble(check, daemon->err());
        return check.failures;
      },
      (seconds + 240) * 1000);
}

// A reader that stops reading for longer than the daemon's output window (8 s)
// loses whole groups of pictures: the first RTP packet it gets after the skip
// opens the access unit that carries an IDR picture, parameter sets first, and
// ffmpeg decodes what follows without an error. The daemon reports the skip.
TEST(H264E2E, AReaderThatStopsReadingResumesAtAKeyFrame) {
  runScenario(
      [] {
        Checks check;
        auto producer = startProducer({"--gop", "25"});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
        RtspClient c;
        int small = 32 * 1024;  // little room in the kernel: the daemon holds the backlog
        setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (!playInterleaved(check, c)) return check.failures;

        H264Depacketizer rtp;
        int nalsBefore = 0, idrAfter = 0, brokenAtSkip = 0;
        bool afterSkip = false, firstUnitDone = false;
        std::vector<unsigned> firstUnit;  // NAL unit types of the first access unit after the skip
        std::string annexB;               // everything after the skip, for the decoder
        rtp.onNal = [&](Nal const& nal) {
          unsigned const type = static_cast<unsigned char>(nal.bytes[0]) & 0x1F;
          if (!afterSkip && rtp.sequenceGaps == 0) {
            ++nalsBefore;
            return;
          }
          // The NAL unit the reader was in when it fell behind stays cut (its
          // start went out before); what follows the skip must be whole.
          if (!afterSkip) brokenAtSkip = rtp.brokenFragments;
          afterSkip = true;
          if (!firstUnitDone) firstUnit.push_back(type);
          firstUnitDone = firstUnitDone || nal.marker;
          if (type == kNalIdr) ++idrAfter;
          annexB.append("\0\0\0\1", 4).append(nal.bytes);
        };
        check(receive(
                  c, rtp, [&] { return nalsBefore >= 25; }, 10000),
              "playing");
        // The pause is what is tested: nothing to wait for but the time.
        sleep(12);
        bool const resumed = receive(
            c, rtp, [&] { return idrAfter >= 3; }, 20000);
        check(resumed && afterSkip, "resumed after a skip: gaps " + std::to_string(rtp.sequenceGaps));
        std::string types;
        for (unsigned t : firstUnit) types += std::to_string(t) + " ";
        auto firstOf = [&](unsigned t) { return std::find(firstUnit.begin(), firstUnit.end(), t) - firstUnit.begin(); };
        long const idrAt = firstOf(kNalIdr);
        check(!firstUnit.empty() && firstUnit[0] != kNalSlice && firstUnit[0] != kNalIdr &&
                  idrAt < static_cast<long>(firstUnit.size()) && firstOf(kNalSps) < idrAt && firstOf(8) < idrAt &&
                  firstOf(kNalSlice) > idrAt,
              "the first access unit after the skip: SPS, PPS, then the IDR picture; NAL unit types " + types);
        check(brokenAtSkip <= 1 && rtp.brokenFragments == brokenAtSkip && rtp.otherPayloads == 0,
              "whole NAL units after the skip: broken " + std::to_string(rtp.brokenFragments));
        writeFile("/var/tmp/after-skip.h264", annexB);
        std::string errors;
        int const rc =
            runCommand("ffmpeg -nostdin -v error -f h264 -i /var/tmp/after-skip.h264 -f null -", 60000, &errors);
        check(rc == 0 && errors.empty(), "ffmpeg decodes the stream after the skip without errors: " + errors);
        printf("figure: %d packets skipped in all; decoded %zu bytes after the skip\n", rtp.sequenceGaps,
               annexB.size());
        check(daemon->err().find("fell behind the output window") != std::string::npos,
              "the daemon reported the skip\n" + daemon->err());
        check(daemon->running(), "daemon still running");
        return check.failures;
      },
      90000);
}

}  // namespace
