// The stream parser's banks: refill sizes, bank switches, the parser's limit,
// oversized deliveries and the end of input, driven through the real event
// loop by a simple record parser (records end with 0xFF; the parser keeps its
// saved position at the start of the record in progress, so a record must sit
// whole in a bank).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "FramedFilter.hh"
#include "H264TestSupport.hh"
#include "StreamParser.hh"

using namespace h264test;

namespace {

class RecordFramer;

class RecordParser : public StreamParser {
public:
  RecordParser(FramedSource* input, FramedSource* client, clientContinueFunc* cont)
      : StreamParser(input, FramedSource::handleClosure, client, cont, client) {}

  // True with 'size' when a record was copied to 'to'.
  bool parse(unsigned char* to, unsigned maxSize, unsigned& size, unsigned& truncated) {
    bool endedByDelimiter = false;
    for (;;) {
      if (bytesAvailable() == 0) {
        if (haveSeenEOF() && curOffset() > 0) break;  // the last record has no delimiter
        ensureAvailable(1);
        return false;
      }
      if (get1Byte() == 0xFF) {
        endedByDelimiter = true;
        break;
      }
    }
    unsigned const recordSize = curOffset() - (endedByDelimiter ? 1 : 0);
    unsigned char const* start = curPtr() - curOffset();
    size = recordSize < maxSize ? recordSize : maxSize;
    truncated = recordSize - size;
    std::memcpy(to, start, size);
    saveParserState();
    return true;
  }
};

class RecordFramer : public FramedFilter {
public:
  explicit RecordFramer(UsageEnvironment& env, FramedSource* input)
      : FramedFilter(env, input), fParser(input, this, continueReading) {}

  RecordParser const& parser() const { return fParser; }

protected:
  void doGetNextFrame() override { continueReading(); }

private:
  static void continueReading(void* self, unsigned char*, unsigned, struct timeval) {
    static_cast<RecordFramer*>(self)->continueReading();
  }
  void continueReading() {
    if (!fParser.parse(fTo, fMaxSize, fFrameSize, fNumTruncatedBytes)) {
      if (fParser.limitReached()) handleClosure();
      return;
    }
    afterGetting(this);
  }

  RecordParser fParser;
};

Bytes records(size_t count, size_t recordSize) {
  Bytes data;
  data.reserve(count * recordSize);
  for (size_t r = 0; r < count; ++r) {
    for (size_t i = 0; i + 1 < recordSize; ++i) data.push_back(uint8_t((r + i) % 250 + 1));
    data.push_back(0xFF);
  }
  return data;
}

class StreamParserTest : public H264Test {
protected:
  struct Run {
    std::vector<NalRecord> units;
    std::vector<unsigned> requested;
    unsigned sourceClosures = 0;
    unsigned readerClosures = 0;
    unsigned bankSwitches = 0;
    std::string stderrText;
  };

  Run run(Bytes data, std::vector<unsigned> chunks, unsigned overReport = 0) {
    auto* source = new ChunkSource(*env, std::move(data), std::move(chunks));
    source->setOverReport(overReport);
    auto* framer = new RecordFramer(*env, source);
    Collector reader;
    reader.source = framer;
    testing::internal::CaptureStderr();
    reader.start();
    bool const ended = runUntil([&] { return reader.closed; }, 20000);
    Run r;
    r.stderrText = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    // The loop runs on a little: nothing more may happen after the end.
    for (int i = 0; i < 5; ++i) scheduler->SingleStep(1000);
    r.units = std::move(reader.units);
    r.requested = source->requestedSizes;
    r.sourceClosures = source->closures;
    r.readerClosures = reader.closures;
    r.bankSwitches = framer->parser().numBankSwitches();
    Medium::close(framer);
    return r;
  }
};

TEST_F(StreamParserTest, RefillsAskForTheRestOfTheBankAndSwitchPastHalfABank) {
  // 300,000-byte chunks of 1000-byte records: the saved position is always at
  // the end of what was read. Before each read the parser keeps 500,000
  // bytes of room (the source's maxFrameSize), so the bank switches whenever
  // the position has passed 500,000.
  Run const r = run(records(3000, 1000), {300000});
  ASSERT_EQ(r.units.size(), 3000u);
  for (auto const& u : r.units) ASSERT_EQ(u.size, 999u);
  ASSERT_GE(r.requested.size(), 10u);
  std::vector<unsigned> const expected{1000000, 700000,  1000000, 700000,  1000000,
                                       700000,  1000000, 700000,  1000000, 700000};
  EXPECT_EQ(std::vector<unsigned>(r.requested.begin(), r.requested.begin() + 10), expected);
  EXPECT_EQ(r.bankSwitches, 5u);
  EXPECT_EQ(r.stderrText.find("StreamParser"), std::string::npos) << r.stderrText;
}

TEST_F(StreamParserTest, UnparsedBytesMoveToTheOtherBankOnASwitch) {
  // 250,000-byte chunks of 70,001-byte records: each switch carries the
  // partial record over; every record arrives whole.
  Run const r = run(records(40, 70001), {250000, 13, 77777});
  ASSERT_EQ(r.units.size(), 40u);
  for (size_t i = 0; i < r.units.size(); ++i) {
    ASSERT_EQ(r.units[i].size, 70000u) << i;
    ASSERT_EQ(r.units[i].bytes.front(), uint8_t(i % 250 + 1)) << i;
    ASSERT_EQ(r.units[i].bytes.back(), uint8_t((i + 69999) % 250 + 1)) << i;
  }
  EXPECT_GT(r.bankSwitches, 0u);
  EXPECT_EQ(r.requested.front(), 1000000u);
}

TEST_F(StreamParserTest, AParseNeedingMoreThanHalfABankReachesTheLimitAndEndsTheStream) {
  // Two small records, then one of 700,000 bytes, read in 100,000-byte
  // chunks: 599,800 bytes after its saved position the parse still needs
  // more, and 599,800 + 500,000 exceeds the bank even after a switch.
  Bytes data = records(2, 100);
  Bytes big = records(1, 700000);
  data.insert(data.end(), big.begin(), big.end());
  Run const r = run(data, {100000});
  EXPECT_NE(r.stderrText.find("StreamParser internal error ("), std::string::npos) << r.stderrText;
  std::smatch m;
  std::regex const line("StreamParser internal error \\(([0-9]+) \\+ ([0-9]+) > 1000000\\)\n");
  ASSERT_TRUE(std::regex_search(r.stderrText, m, line)) << r.stderrText;
  EXPECT_EQ(m[1].str(), "599800");
  EXPECT_EQ(m[2].str(), "500000");
  // The two small records came through, then the stream ended as on a closure
  // of the input: the reader was told once, and nothing more was read.
  ASSERT_EQ(r.units.size(), 2u);
  EXPECT_EQ(r.readerClosures, 1u);
  EXPECT_EQ(r.sourceClosures, 0u);
  EXPECT_EQ(r.requested, (std::vector<unsigned>{1000000, 900000, 800000, 700000, 600000, 500000}));
}

TEST_F(StreamParserTest, OversizedDeliveryIsReportedWithTheNumbers) {
  Run const r = run(records(1000, 1000), {0}, 5);
  EXPECT_NE(r.stderrText.find("StreamParser::afterGettingBytes() warning: read 1000005 bytes; expected no more "
                              "than 1000000\n"),
            std::string::npos)
      << r.stderrText;
  EXPECT_EQ(r.units.size(), 1000u);
}

TEST_F(StreamParserTest, EndOfInputParsesWhatIsHeldThenAsksTheSourceOnceMore) {
  Bytes data = records(3, 10);
  data.insert(data.end(), {1, 2, 3});  // a last record without its delimiter
  Run const r = run(data, {4});
  ASSERT_EQ(r.units.size(), 4u);
  EXPECT_EQ(r.units[3].bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(r.sourceClosures, 2u);  // first closure: end of input; second: the extra request
  EXPECT_EQ(r.readerClosures, 1u);

  Run const empty = run(Bytes{}, {4});
  EXPECT_TRUE(empty.units.empty());
  EXPECT_EQ(empty.sourceClosures, 2u);
  EXPECT_EQ(empty.readerClosures, 1u);
}

}  // namespace
