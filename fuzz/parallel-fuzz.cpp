// The parallel compressor and back: arbitrary data is compressed on worker threads in a drawn
// framing, level, strategy, window, memory level and block size, handed over in drawn slices with
// sync and full flushes at drawn positions and written into output slices down to 1 byte. The
// result must be one stream that plain zlib decodes to the data, ending where the output ends,
// and that the zlib coder decodes with no more window than the stream declares. A second
// compressor with another thread count, other slices and the same flush positions, optionally
// reopened over a stream it had begun, must write the same bytes. Every call must succeed.
//
// Input: eleven parameter bytes, then the data.
//   byte 0: bits 0-1 header mode, bits 2-7 level (value % 11 - 1, so -1 .. 9)
//   byte 1: bits 0-2 window bits - 8, bits 3-7 strategy (value % 5)
//   byte 2: bits 0-3 memory level (value % 9 + 1), bits 4-5 threads of the first run - 1,
//           bits 6-7 how many more (mod 4, never 0 mod 4) the second run has
//   byte 3: block size: 1024 + (bits 0-5) * 1, 16, 64 or 300 as bits 6-7 say, so 1 .. ~19 KiB
//   bytes 4-5: input and output slice limits of the first run
//   bytes 6-7: of the second run
//   byte 8: bits 0-1 how many flushes, bits 2-4 which of them are full flushes (else sync),
//           bit 7 the second compressor first begins a stream with other options
//   bytes 9-10: seed of the draws (flush positions, slice sizes)
#include <string>
#include <utility>
#include <vector>
#include <wrenfold/coders-zlib-parallel.hpp>

#include "fuzz-support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::fuzz;
using wrenfold::coders::element_count;
using zl::header_type;

// Past this the data is cut: a block primes its stream with up to 32 KiB, so many small blocks
// are slow enough already.
constexpr std::size_t data_cap = std::size_t{1} << 16;

// Where the input is cut and how each piece ends; the last piece ends with finish.
struct piece {
  std::size_t end;
  flush_mode flush;
};

struct run_settings {
  unsigned threads;
  std::size_t in_limit;
  std::size_t out_limit;
  std::uint32_t seed;
};

// Each piece in drawn slices, no_flush until its last slice, which carries the piece's flush;
// a flush is handed over again, without input, until a call leaves room, the sign that it is
// complete. The drive's checks of positions and totals hold on every call.
bytes compress(zl::parallel_compressor& compressor, std::span<const element> data,
               const std::vector<piece>& pieces, const run_settings& r, bool gzip) {
  draws g(r.seed);
  bytes output;
  bytes room;
  std::size_t consumed = 0;
  std::size_t calls = 0;
  int idle = 0;
  for (const piece& p : pieces) {
    for (bool done = false; !done;) {
      check(++calls <= call_budget, "the compressor does not finish");
      const std::size_t rest = p.end - consumed;
      const std::size_t in_size = rest == 0 ? 0 : std::min(rest, 1 + g.below(r.in_limit));
      const flush_mode flush = in_size == rest ? p.flush : flush_mode::no_flush;
      const std::size_t out_size = 1 + g.below(r.out_limit);
      const auto call = wrenfold::support::transcode_once(
          compressor, data.subspan(consumed, in_size), room, out_size, flush,
          draw_first(g, in_size), draw_first(g, out_size), gzip);
      const auto written = std::span<const element>(room).last(out_size).first(call.produced);
      output.insert(output.end(), written.begin(), written.end());
      consumed += call.consumed;
      idle = call.consumed == 0 && call.produced == 0 ? idle + 1 : 0;
      check(idle < idle_limit, "the compressor makes no progress");
      if (consumed != p.end) continue;
      done = flush == flush_mode::finish ? compressor.finished() : call.produced < out_size;
    }
  }
  check(compressor.total_in() == static_cast<element_count>(data.size()),
        "total_in differs from the data compressed");
  check(compressor.total_out() == static_cast<element_count>(output.size() - (gzip ? 18 : 0)),
        "total_out differs from the deflate data written");
  return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input_reader reader(data, size, 11);
  zl::deflate_options options;
  const std::uint8_t b0 = reader.byte();
  options.header = static_cast<header_type>(b0 & 3u);
  options.level = (b0 >> 2) % 11 - 1;
  const std::uint8_t b1 = reader.byte();
  options.window_bits = 8 + (b1 & 7);
  options.strategy = (b1 >> 3) % 5;
  const std::uint8_t b2 = reader.byte();
  options.memory_level = (b2 & 15) % 9 + 1;
  run_settings first{}, second{};
  first.threads = 1 + ((b2 >> 4) & 3u);
  second.threads = 1 + (first.threads - 1 + 1 + (b2 >> 6) % 3) % 4;
  const std::uint8_t b3 = reader.byte();
  constexpr std::size_t steps[] = {1, 16, 64, 300};
  const std::size_t block_size = 1024 + (b3 & 63u) * steps[b3 >> 6];
  first.in_limit = slice_limit(reader.byte());
  first.out_limit = slice_limit(reader.byte());
  second.in_limit = slice_limit(reader.byte());
  second.out_limit = slice_limit(reader.byte());
  const std::uint8_t b8 = reader.byte();
  std::uint32_t seed = reader.byte();
  seed = seed << 8 | reader.byte();
  first.seed = seed;
  second.seed = seed ^ 0xA5A5u;
  auto payload = reader.payload();
  if (payload.size() > data_cap) payload = payload.first(data_cap);

  // The flush positions, drawn in order; the same for both runs.
  draws g(seed ^ 0x0F1Cu);
  std::vector<piece> pieces;
  for (unsigned i = 0; i < (b8 & 3u); ++i) {
    const bool full = (b8 >> (2 + i) & 1u) != 0;
    pieces.push_back(
        {g.below(payload.size() + 1), full ? flush_mode::full_flush : flush_mode::sync_flush});
  }
  std::ranges::sort(pieces, {}, &piece::end);
  pieces.push_back({payload.size(), flush_mode::finish});
  const bool gzip = options.header == header_type::GZIP;

  try {
    zl::parallel_compressor one(first.threads);
    one.deflate_init(options, block_size);
    const bytes packed = compress(one, payload, pieces, first, gzip);

    const auto plain = zlib_oracle(packed, zlib_window(options.header, 15, coding::compress));
    check(plain.code == Z_STREAM_END, "zlib does not decode the output as one whole stream");
    check(plain.consumed == packed.size(), "bytes follow the end of the stream");
    check(plain.output.size() == payload.size() &&
              std::equal(payload.begin(), payload.end(), plain.output.begin()),
          "zlib decodes the output to other than the input");

    // The window the stream declares (zlib's smallest, 9 bits, for 8) is enough to decode it:
    // small output slices make the decoder reach back into its window, not its output.
    const int window_bits = std::max(options.window_bits, 9);
    zl::coder_type decoder;
    decoder.inflate_init(
        window_bits, options.header == header_type::AUTO ? header_type::DEFAULT : options.header);
    drive_options plan = decoder_drive();
    plan.in_chunk = second.in_limit;
    plan.out_chunk = std::min<std::size_t>(first.out_limit, 300);
    plan.seed = seed;
    drive_state decoded;
    drive(decoder, packed, plan, decoded);
    check(decoder.finished() && decoded.consumed == packed.size() && decoded.output == plain.output,
          "the stream does not decode within the window it declares");

    zl::parallel_compressor two(second.threads);
    if ((b8 & 0x80u) != 0) {
      // A stream begun with other options and dropped with blocks in flight must leave nothing
      // behind in the one opened over it.
      two.deflate_init({.level = 1, .window_bits = 10, .header = header_type::GZIP}, 1024);
      bytes scratch(64);
      const auto begun = std::min<std::size_t>(payload.size(), 5000);
      two.transcode(payload.first(begun), scratch, flush_mode::no_flush);
    }
    two.deflate_init(options, block_size);
    check(compress(two, payload, pieces, second, gzip) == packed,
          "another thread count and other slices give other bytes");
  } catch (const std::exception& e) {
    fail(std::string("parallel compression threw: ") + e.what());
  }
  return 0;
}
