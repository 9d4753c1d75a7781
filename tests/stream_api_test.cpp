// The streaming C call's own rules, beyond the outcomes the differential and malformed sweeps
// check: arguments it refuses without touching anything, a finished decoder that keeps its
// status until reset, and one decoder serving files in turn, reset mid-file included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/stream_feed.h"
#include "ravmolt/ravmolt_c.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoder {
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  ~Decoder() { ravmolt_decoder_free(decoder); }
};

TEST(StreamCall, RefusesBadArgumentsAndTouchesNothing) {
  Decoder d;
  ASSERT_NE(d.decoder, nullptr);
  const Bytes file = testing::abracadabraFile();
  unsigned char room[64];
  struct Case {
    const char* name;
    ravmolt_input in;
    ravmolt_output out;
    bool nullDecoder, nullInput, nullOutput;
  };
  const Case cases[] = {
      {"null decoder", {file.data(), file.size(), 0}, {room, 64, 0}, true, false, false},
      {"null input", {file.data(), file.size(), 0}, {room, 64, 0}, false, true, false},
      {"null output", {file.data(), file.size(), 0}, {room, 64, 0}, false, false, true},
      {"used past size", {file.data(), 4, 5}, {room, 64, 0}, false, false, false},
      {"made past room", {file.data(), file.size(), 0}, {room, 64, 65}, false, false, false},
      {"null input data", {nullptr, 3, 0}, {room, 64, 0}, false, false, false},
      {"null output data", {file.data(), file.size(), 0}, {nullptr, 64, 0}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ravmolt_input in = c.in;
    ravmolt_output out = c.out;
    EXPECT_EQ(ravmolt_stream_decode(c.nullDecoder ? nullptr : d.decoder,
                                    c.nullInput ? nullptr : &in, c.nullOutput ? nullptr : &out, 1),
              RAVMOLT_INVALID_ARGUMENT);
    EXPECT_EQ(in.used, c.in.used);
    EXPECT_EQ(out.made, c.out.made);
  }
  // Null data with nothing to take or no room to fill is no error: the decoder is still fresh.
  ravmolt_input none{nullptr, 0, 0};
  ravmolt_output noRoom{nullptr, 0, 0};
  EXPECT_EQ(ravmolt_stream_decode(d.decoder, &none, &noRoom, 0), RAVMOLT_NEEDS_INPUT);
  ravmolt_input whole{file.data(), file.size(), 0};
  ravmolt_output out{room, sizeof room, 0};
  EXPECT_EQ(ravmolt_stream_decode(d.decoder, &whole, &out, 1), RAVMOLT_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(room), out.made), "abracadabra");
  ravmolt_decoder_free(nullptr);
  ravmolt_decoder_reset(nullptr);
}

// Once a file has ended in success or failure, every call gives that status again and takes
// nothing, until a reset makes the decoder ready for the next file.
TEST(StreamCall, AFinishedDecoderKeepsItsStatusUntilReset) {
  Decoder d;
  ASSERT_NE(d.decoder, nullptr);
  const Bytes good = testing::abracadabraFile();
  Bytes badChecksum = good;
  badChecksum[0] ^= 1;
  const Bytes cut(good.begin(), good.end() - 1);
  const struct {
    const Bytes& file;
    ravmolt_status status;
  } cases[] = {
      {good, RAVMOLT_SUCCESS}, {badChecksum, RAVMOLT_INVALID_FORMAT}, {cut, RAVMOLT_TRUNCATED}};
  for (const auto& c : cases) {
    ravmolt_decoder_reset(d.decoder);
    unsigned char room[64];
    ravmolt_input in{c.file.data(), c.file.size(), 0};
    ravmolt_output out{room, sizeof room, 0};
    ASSERT_EQ(ravmolt_stream_decode(d.decoder, &in, &out, 1), c.status);
    for (int again = 0; again < 2; ++again) {
      ravmolt_input more{good.data(), good.size(), 0};
      ravmolt_output rest{room, sizeof room, 0};
      EXPECT_EQ(ravmolt_stream_decode(d.decoder, &more, &rest, again), c.status);
      EXPECT_EQ(more.used, 0U);
      EXPECT_EQ(rest.made, 0U);
    }
  }
}

// A decoder reset in the middle of a long file, with output staged and carried input, decodes
// the next file from its first byte, and so file after file.
TEST(StreamCall, ResetInMidFileStartsAfresh) {
  Decoder d;
  ASSERT_NE(d.decoder, nullptr);
  Bytes text;
  for (int i = 0; text.size() < 400'000; ++i)
    text.push_back(static_cast<std::uint8_t>("ab c"[i % 4] + i % 3));
  const Bytes file = tools::encode(text).value();
  std::vector<unsigned char> room(1000);
  ravmolt_input in{file.data(), 70'001, 0};
  ravmolt_output out{room.data(), room.size(), 0};
  ASSERT_EQ(ravmolt_stream_decode(d.decoder, &in, &out, 0), RAVMOLT_OUTPUT_PENDING);
  for (int round = 0; round < 3; ++round) {
    ravmolt_decoder_reset(d.decoder);
    std::size_t next = 0;
    const checks::StreamRun run = checks::feedStream(
        d.decoder, file, [&] { return next++ % 2 == 0 ? 65536 : 3; }, [] { return 100'000; });
    ASSERT_EQ(run.broken, "");
    ASSERT_EQ(run.status, RAVMOLT_SUCCESS);
    ASSERT_TRUE(run.output == text) << "round " << round;
  }
}

}  // namespace
}  // namespace ravmolt
