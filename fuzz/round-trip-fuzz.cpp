// Compression and back: arbitrary data is compressed with the coder in a drawn framing, level,
// strategy, window and memory level, handed over in drawn chunks with sync and full flushes
// between them and written into output slices down to 1 byte. The result must decode to the
// data with plain zlib, with a coder of the matching framing and, for zlib and gzip framing,
// with the AUTO coder. Every call must succeed.
//
// Input: eight parameter bytes, then the data.
//   byte 0: bits 0-1 header mode, bits 2-7 level (value % 11 - 1, so -1 .. 9)
//   byte 1: bits 0-2 window bits - 8, bits 3-7 strategy (value % 5)
//   byte 2: bits 0-3 memory level (value % 9 + 1), bits 4-7 how far the decoders' window
//           exceeds the compressor's
//   byte 3: input chunk limit   byte 4: output slice limit
//   byte 5: bits 0-1 flush style of compression, bits 2-3 of decompression
//   bytes 6-7: seed of the draws
#include <string>
#include <utility>

#include "fuzz-support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::fuzz;
using wrenfold::coders::element_count;
using zl::header_type;

struct settings {
  header_type header;
  int level;
  int strategy;
  int window_bits;  // as handed to deflate_init
  int memory_level;
  int decode_window_bits;
  std::size_t in_limit;
  std::size_t out_limit;
  flush_policy deflate_flush;
  flush_policy inflate_flush;
  std::uint32_t seed;
};

// The data in drawn chunks, each ended by a drawn flush (never finish, which only the end of the
// data may ask for) that completes before the next chunk; then finish.
bytes compress(const settings& s, std::span<const element> data) {
  zl::coder_type coder;
  coder.deflate_init(s.level, s.strategy, zl::deflated, s.window_bits, s.memory_level, s.header);
  const bool framed = s.header == header_type::GZIP;  // total_out leaves out the gzip framing
  drive_options plan;
  plan.in_chunk = s.in_limit;
  plan.out_chunk = s.out_limit;
  plan.seed = s.seed;
  plan.flush = s.deflate_flush;
  plan.flush_chunks = true;
  plan.draw_first = true;
  plan.counts_framing = framed;
  plan.call_budget = call_budget;
  plan.idle_limit = idle_limit;
  drive_state run;
  drive(coder, data, plan, run);
  check(!run.stalled, "compressor makes no progress");
  check(!run.capped, "compressor does not finish");
  check(coder.total_in() == static_cast<element_count>(data.size()),
        "total_in differs from the data compressed");
  const std::size_t framing = framed ? 18 : 0;
  check(coder.total_out() == static_cast<element_count>(run.output.size() - framing),
        "total_out differs from the deflate data written");
  return std::move(run.output);
}

void expect_decodes(const settings& s, header_type decoder, std::span<const element> packed,
                    std::span<const element> data) {
  zl::coder_type coder;
  coder.inflate_init(s.decode_window_bits, decoder);
  drive_options plan = decoder_drive();
  plan.in_chunk = s.in_limit;
  plan.out_chunk = s.out_limit;
  plan.flush = s.inflate_flush;
  plan.seed = s.seed ^ 0x5A5Au;
  drive_state run;
  drive(coder, packed, plan, run);
  check(coder.finished(), "the decoder did not finish the stream");
  check(run.consumed == packed.size(), "the decoder left compressed bytes unconsumed");
  check(
      run.output.size() == data.size() && std::equal(data.begin(), data.end(), run.output.begin()),
      "the decoder's output differs from the data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input_reader reader(data, size, 8);
  settings s{};
  const std::uint8_t b0 = reader.byte();
  s.header = static_cast<header_type>(b0 & 3u);
  s.level = (b0 >> 2) % 11 - 1;
  const std::uint8_t b1 = reader.byte();
  // zlib refuses an 8-bit window for raw deflate, which GZIP compression is underneath, and
  // widens it to 9 bits (and says so in the zlib header) for zlib framing.
  const int asked_bits = 8 + (b1 & 7);
  const int bits = std::max(asked_bits, 9);
  s.window_bits =
      s.header == header_type::NONE || s.header == header_type::GZIP ? bits : asked_bits;
  s.strategy = (b1 >> 3) % 5;
  const std::uint8_t b2 = reader.byte();
  s.memory_level = (b2 & 15) % 9 + 1;
  s.decode_window_bits = bits + (b2 >> 4) % (16 - bits);
  s.in_limit = slice_limit(reader.byte());
  s.out_limit = slice_limit(reader.byte());
  const std::uint8_t b5 = reader.byte();
  s.deflate_flush = static_cast<flush_policy>(b5 & 3u);
  s.inflate_flush = static_cast<flush_policy>((b5 >> 2) & 3u);
  s.seed = reader.byte();
  s.seed = s.seed << 8 | reader.byte();
  const auto payload = reader.payload();

  try {
    const bytes packed = compress(s, payload);

    const auto plain = zlib_oracle(packed, zlib_window(s.header, 15, coding::compress));
    check(plain.code == Z_STREAM_END && plain.consumed == packed.size() &&
              plain.output.size() == payload.size() &&
              std::equal(payload.begin(), payload.end(), plain.output.begin()),
          "zlib does not decode the compressed data to the input");

    // AUTO compression writes zlib framing, read back as DEFAULT.
    expect_decodes(s, s.header == header_type::AUTO ? header_type::DEFAULT : s.header, packed,
                   payload);
    if (s.header != header_type::NONE) expect_decodes(s, header_type::AUTO, packed, payload);
  } catch (const std::exception& e) {
    fail(std::string("round trip threw: ") + e.what());
  }
  return 0;
}
