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
  flush_style deflate_style;
  flush_style inflate_style;
  std::uint32_t seed;
};

// The flush after a chunk: never finish, which only the end of the data may ask for.
flush_mode chunk_flush(draws& g, flush_style style) {
  const flush_mode flush = draw_flush(g, style, false);
  return flush == flush_mode::finish ? flush_mode::no_flush : flush;
}

bytes compress(const settings& s, std::span<const element> data) {
  zl::coder_type coder;
  coder.deflate_init(s.level, s.strategy, zl::deflated, s.window_bits, s.memory_level, s.header);
  const bool framed = s.header == header_type::GZIP;  // total_out leaves out the gzip framing
  draws g(s.seed);
  bytes packed;
  bytes room;
  auto keep = [&](const call_record& call) {
    const auto end = room.end() - static_cast<std::ptrdiff_t>(call.out_size - call.produced);
    packed.insert(packed.end(), end - static_cast<std::ptrdiff_t>(call.produced), end);
  };
  int idle = 0;
  std::size_t calls = 0;
  auto note_progress = [&](const call_record& call) {
    idle = call.consumed == 0 && call.produced == 0 ? idle + 1 : 0;
    check(idle < idle_limit, "compressor makes no progress");
    check(++calls < call_budget, "compressor does not finish");
  };

  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t chunk = std::min(1 + g.below(s.in_limit), data.size() - at);
    const flush_mode flush = chunk_flush(g, s.deflate_style);
    // The chunk is handed over until it is consumed and, for a flush, until a call leaves room
    // (zlib's sign that the flush is complete). Once a flush has filled the room, zlib wants
    // more than six bytes per call until it completes, or it may write flush markers forever.
    std::size_t done = 0;
    for (bool flushing = false;; flushing = done == chunk) {
      const std::size_t drawn = 1 + g.below(s.out_limit);
      const std::size_t out_size = flushing ? std::max<std::size_t>(drawn, 7) : drawn;
      const auto call = transcode_once(coder, data.subspan(at + done, chunk - done), room, out_size,
                                       flush, g, framed);
      keep(call);
      note_progress(call);
      done += call.consumed;
      if (done == chunk && (flush == flush_mode::no_flush || call.produced < out_size)) break;
    }
    at += chunk;
  }
  while (!coder.finished()) {
    const auto call =
        transcode_once(coder, {}, room, 1 + g.below(s.out_limit), flush_mode::finish, g, framed);
    keep(call);
    note_progress(call);
  }
  check(coder.total_in() == static_cast<element_count>(data.size()),
        "total_in differs from the data compressed");
  const std::size_t framing = framed ? 18 : 0;
  check(coder.total_out() == static_cast<element_count>(packed.size() - framing),
        "total_out differs from the deflate data written");
  return packed;
}

void expect_decodes(const settings& s, header_type decoder, std::span<const element> packed,
                    std::span<const element> data) {
  zl::coder_type coder;
  coder.inflate_init(s.decode_window_bits, decoder);
  const inflate_plan plan{.in_limit = s.in_limit,
                          .out_limit = s.out_limit,
                          .style = s.inflate_style,
                          .seed = s.seed ^ 0x5A5Au};
  inflate_run run;
  inflate_with(coder, packed, plan, run);
  check(coder.finished(), "the decoder did not finish the stream");
  check(run.consumed == packed.size(), "the decoder left compressed bytes unconsumed");
  check(
      run.output.size() == data.size() && std::equal(data.begin(), data.end(), run.output.begin()),
      "the decoder's output differs from the data");
}

// zlib's window bits for reading what the coder wrote in each framing.
int plain_window(header_type header) {
  switch (header) {
    case header_type::NONE:
      return -15;
    case header_type::GZIP:
      return 31;
    case header_type::AUTO:
    case header_type::DEFAULT:
      break;
  }
  return 15;
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
  s.deflate_style = static_cast<flush_style>(b5 & 3u);
  s.inflate_style = static_cast<flush_style>((b5 >> 2) & 3u);
  s.seed = reader.byte();
  s.seed = s.seed << 8 | reader.byte();
  const auto payload = reader.payload();

  try {
    const bytes packed = compress(s, payload);

    const auto plain = zlib_inflate(packed, plain_window(s.header));
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
