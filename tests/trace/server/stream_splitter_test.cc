// Splitting a rebuilt stream back into the channels' records, whatever the packet boundaries,
// and refusing streams that cannot be right.
#include "trace/server/stream_splitter.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

namespace {

struct Record {
  uint32_t channel;
  std::string payload;
  bool operator==(const Record&) const = default;
};

std::string Encode(const std::vector<Record>& records) {
  std::string stream;
  for (const Record& record : records) {
    uint32_t header =
        sTRC_User_Header::Make(static_cast<uint32_t>(record.payload.size() + 4), record.channel);
    stream.append(reinterpret_cast<const char*>(&header), 4);
    stream += record.payload;
  }
  return stream;
}

class Splitter {
 public:
  explicit Splitter(uint32_t max_record = CTRS_Stream_Splitter::kDefault_Max_Record)
      : splitter_(
            [this](uint32_t channel, const uint8_t* payload, uint32_t size) {
              records_.push_back(
                  {channel, std::string(reinterpret_cast<const char*>(payload), size)});
            },
            max_record) {}
  bool Feed(const std::string& bytes) {
    return splitter_.Feed(reinterpret_cast<const uint8_t*>(bytes.data()),
                          static_cast<uint32_t>(bytes.size()));
  }
  CTRS_Stream_Splitter& Get() { return splitter_; }
  std::vector<Record> records_;

 private:
  CTRS_Stream_Splitter splitter_;
};

TEST(StreamSplitterTest, RecordsSurviveAnyPacketBoundaries) {
  const std::vector<Record> records = {
      {1, "first"}, {31, ""}, {0, std::string(300, 'x')}, {7, "last"}};
  const std::string stream = Encode(records);
  // Every cut that keeps headers whole, as the sink makes them: one cut after each byte that is
  // not inside a header.
  std::vector<size_t> header_starts;
  for (size_t at = 0; at < stream.size();) {
    header_starts.push_back(at);
    uint32_t header = 0;
    memcpy(&header, stream.data() + at, 4);
    at += sTRC_User_Header{header}.Length();
  }
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    bool inside_header = false;
    for (size_t start : header_starts) inside_header |= cut > start && cut < start + 4;
    if (inside_header) continue;
    SCOPED_TRACE(cut);
    Splitter splitter;
    EXPECT_TRUE(splitter.Feed(stream.substr(0, cut)));
    EXPECT_TRUE(splitter.Feed(stream.substr(cut)));
    EXPECT_EQ(splitter.records_, records);
    EXPECT_EQ(splitter.Get().Pending_Bytes(), 0u);
  }
  // A long payload over many small packets.
  Splitter splitter;
  for (size_t at = 0; at < stream.size(); at += 50) {
    std::string packet = stream.substr(at, 50);
    EXPECT_TRUE(splitter.Feed(packet));
  }
  EXPECT_EQ(splitter.records_, records);
}

TEST(StreamSplitterTest, ImpossibleStreamsBreakUntilReset) {
  const uint32_t short_header = 3;
  struct Case {
    const char* name;
    std::string packet;
  } const cases[] = {
      {"length below the header",
       std::string(reinterpret_cast<const char*>(&short_header), 4) + "abc"},
      {"record longer than allowed", Encode({{1, std::string(200, 'y')}})},
      {"stray bytes after a record", Encode({{1, "ok"}}) + "zz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Splitter splitter(128);
    EXPECT_FALSE(splitter.Feed(c.packet));
    EXPECT_TRUE(splitter.Get().Is_Broken());
    EXPECT_FALSE(splitter.Feed(Encode({{2, "ignored"}})));
    splitter.Get().Reset();
    splitter.records_.clear();
    EXPECT_TRUE(splitter.Feed(Encode({{2, "after reset"}})));
    EXPECT_EQ(splitter.records_, (std::vector<Record>{{2, "after reset"}}));
  }
  // A restart drops the partly gathered record.
  Splitter splitter;
  std::string stream = Encode({{4, "never finished"}});
  EXPECT_TRUE(splitter.Feed(stream.substr(0, 8)));
  EXPECT_EQ(splitter.Get().Pending_Bytes(), 8u);
  splitter.Get().Reset();
  EXPECT_TRUE(splitter.Feed(Encode({{5, "fresh"}})));
  EXPECT_EQ(splitter.records_, (std::vector<Record>{{5, "fresh"}}));
}

}  // namespace
