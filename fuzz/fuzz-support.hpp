// Shared by the fuzz targets: a reader for the parameter bytes at the front of an input, the
// generator behind every per-call draw, a driver that decodes with the coder as a client does
// and checks each call, and plain zlib, one shot, as the oracle.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <string_view>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

// libFuzzer's entry point; the replay main calls it too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace wrenfold::fuzz {

using coders::element;
using coders::element_index;
using coders::flush_mode;
using bytes = std::vector<element>;

// Decoded output is not followed past this, so that a small input that inflates hugely stays
// cheap; nor are more calls than this made on one stream (1-byte slices are slow under ASan).
inline constexpr std::size_t output_cap = std::size_t{1} << 20;
inline constexpr std::size_t call_budget = std::size_t{1} << 18;
// A coder that makes no progress this many calls in a row is not driven further.
inline constexpr int idle_limit = 8;

[[noreturn]] inline void fail(std::string_view what) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::abort();
}

inline void check(bool holds, std::string_view what) {
  if (!holds) fail(what);
}

// The parameter bytes at the front of an input, then the payload. A short input reads as zeros
// past its end and has an empty payload.
class input_reader {
 public:
  input_reader(const std::uint8_t* data, std::size_t size, std::size_t header_size)
      : data_(data), size_(size), header_size_(header_size) {}

  std::uint8_t byte() {
    const std::size_t at = next_++;
    return at < std::min(size_, header_size_) ? data_[at] : std::uint8_t{0};
  }

  std::span<const element> payload() const {
    return size_ <= header_size_
               ? std::span<const element>()
               : std::span<const element>(data_ + header_size_, size_ - header_size_);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t header_size_;
  std::size_t next_ = 0;
};

// xorshift32, seeded from parameter bytes: slice sizes, flush modes and array numbering of every
// call follow from the input, so a crash replays exactly.
class draws {
 public:
  explicit draws(std::uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {
    if (state_ == 0) state_ = 1;
  }

  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

  // Uniform enough in 0 .. n - 1; n > 0.
  std::size_t below(std::size_t n) { return next() % n; }

 private:
  std::uint32_t state_;
};

// The largest slice a parameter byte allows: 1 .. 64 times 1, 8, 64 or 512, so 1 byte .. 32 KiB.
inline std::size_t slice_limit(std::uint8_t code) {
  return (std::size_t{code & 63u} + 1) << (3 * (code >> 6));
}

// How the flush mode of each call is chosen; `last` is true when the call hands over the rest
// of the input.
enum class flush_style : std::uint8_t { no_flush_then_finish, any, sync_then_finish, mixed };

inline flush_mode draw_flush(draws& g, flush_style style, bool last) {
  switch (style) {
    case flush_style::no_flush_then_finish:
      return last ? flush_mode::finish : flush_mode::no_flush;
    case flush_style::any:
      return static_cast<flush_mode>(g.below(4));
    case flush_style::sync_then_finish:
      return last ? flush_mode::finish : flush_mode::sync_flush;
    case flush_style::mixed:
      break;
  }
  return last && g.below(2) == 0 ? flush_mode::finish : static_cast<flush_mode>(g.below(3));
}

// A first index for an array of the given length: 0, small ones either side of it, or one at
// either end of element_index's range, so that slips in the numbering show.
inline element_index draw_first(draws& g, std::size_t length) {
  constexpr element_index top = std::numeric_limits<element_index>::max();
  switch (g.below(5)) {
    case 0:
      return 0;
    case 1:
      return -3;
    case 2:
      return 1000;
    case 3:
      return std::numeric_limits<element_index>::min() + 1;
    default:
      return length == 0 ? top : top - static_cast<element_index>(length - 1);
  }
}

// What the latest call handed over and got back, checked against the coder's totals.
struct call_record {
  std::size_t in_size = 0;
  std::size_t out_size = 0;
  std::size_t consumed = 0;
  std::size_t produced = 0;
};

// One transcode call on in (unconsumed input) with out_size bytes of fresh room at the end of
// room, so that a write past the slice runs off the heap block under ASan. Checks that the
// positions lie in [first - 1, last] and, when counts_framing is false, that total_out moved by
// exactly what was written; total_in always moves by exactly what was consumed.
inline call_record transcode_once(coders::coder_interface& coder, std::span<const element> in,
                                  bytes& room, std::size_t out_size, flush_mode flush, draws& g,
                                  bool counts_framing = false) {
  if (room.size() < out_size) room.resize(out_size);
  element* const out_at = room.data() + (room.size() - out_size);
  const coders::const_element_array in_array(in.data(), in.size(), draw_first(g, in.size()));
  const coders::element_array out_array(out_at, out_size, draw_first(g, out_size));
  const auto in_before = coder.total_in();
  const auto out_before = coder.total_out();
  const auto [in_last, out_last] = coder.transcode(in_array, out_array, flush);
  check(in_last >= in_array.first() - 1 && in_last <= in_array.last(), "in_last outside the input");
  check(out_last >= out_array.first() - 1 && out_last <= out_array.last(),
        "out_last outside the output");
  call_record call{.in_size = in.size(), .out_size = out_size};
  call.consumed = static_cast<std::size_t>(in_last - (in_array.first() - 1));
  call.produced = static_cast<std::size_t>(out_last - (out_array.first() - 1));
  check(coder.total_in() - in_before == static_cast<coders::element_count>(call.consumed),
        "total_in moved by other than the bytes consumed");
  if (!counts_framing) {
    check(coder.total_out() - out_before == static_cast<coders::element_count>(call.produced),
          "total_out moved by other than the bytes written");
  }
  return call;
}

// How a decoder is driven: slice limits, the flush style, whether input slices may be empty
// while input remains, and the seed of the per-call draws.
struct inflate_plan {
  std::size_t in_limit = 1;
  std::size_t out_limit = 1;
  flush_style style = flush_style::no_flush_then_finish;
  bool empty_slices = false;
  std::uint32_t seed = 0;
};

// The state of a decoding run; after an exception it describes the call that threw.
struct inflate_run {
  bytes output;
  std::size_t consumed = 0;
  call_record last_call;
  bool stalled = false;  // idle_limit calls in a row without progress
  bool capped = false;   // stopped at output_cap or call_budget
};

// Decodes data with coder, already opened for decompression, until finished(), a stall or the
// cap. Exceptions from the coder propagate; run keeps what happened before them.
inline void inflate_with(coders::coder_interface& coder, std::span<const element> data,
                         const inflate_plan& plan, inflate_run& run) {
  draws g(plan.seed);
  bytes room;
  int idle = 0;
  for (std::size_t calls = 0; !coder.finished(); ++calls) {
    if (run.output.size() >= output_cap || calls >= call_budget) {
      run.capped = true;
      return;
    }
    const std::size_t rest = data.size() - run.consumed;
    const std::size_t wanted =
        plan.empty_slices ? g.below(plan.in_limit + 1) : 1 + g.below(plan.in_limit);
    const std::size_t in_size = std::min(wanted, rest);
    const std::size_t out_size = 1 + g.below(plan.out_limit);
    const flush_mode flush = draw_flush(g, plan.style, in_size == rest);
    run.last_call = {.in_size = in_size, .out_size = out_size};
    const auto call =
        transcode_once(coder, data.subspan(run.consumed, in_size), room, out_size, flush, g);
    run.last_call = call;
    run.output.insert(run.output.end(), room.end() - static_cast<std::ptrdiff_t>(out_size),
                      room.end() - static_cast<std::ptrdiff_t>(out_size - call.produced));
    run.consumed += call.consumed;
    // zlib's inflate always moves when it has input and room, unless the stream has ended.
    check(call.in_size == 0 || call.consumed != 0 || call.produced != 0 || coder.finished(),
          "decoder made no progress with input and room");
    idle = call.consumed == 0 && call.produced == 0 ? idle + 1 : 0;
    if (idle >= idle_limit) {
      run.stalled = true;
      return;
    }
  }
}

// zlib's window bits for the coder's decompression framings, as the coder hands them to zlib.
inline int zlib_window(coders::zlib::header_type header, int window_bits) {
  switch (header) {
    case coders::zlib::header_type::NONE:
      return -window_bits;
    case coders::zlib::header_type::AUTO:
      return window_bits + 32;
    case coders::zlib::header_type::GZIP:
      return window_bits + 16;
    case coders::zlib::header_type::DEFAULT:
      break;
  }
  return window_bits;
}

struct oracle_result {
  int code = Z_OK;  // of the single inflate call
  bytes output;
  std::size_t consumed = 0;
};

// Plain zlib inflate, one call with all of data and output_cap bytes of room.
inline oracle_result zlib_inflate(std::span<const element> data, int window) {
  oracle_result result;
  z_stream stream{};
  if (inflateInit2(&stream, window) != Z_OK) fail("inflateInit2 refused the oracle's window");
  static bytes room(output_cap);
  stream.next_in = const_cast<element*>(data.data());  // zlib does not write through next_in
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = room.data();
  stream.avail_out = static_cast<uInt>(room.size());
  result.code = inflate(&stream, Z_FINISH);
  result.output.assign(room.begin(), room.end() - static_cast<std::ptrdiff_t>(stream.avail_out));
  result.consumed = data.size() - stream.avail_in;
  inflateEnd(&stream);
  return result;
}

// Plain zlib deflate of all of data, with zlib's own window bits (negative for raw deflate, +16
// for a gzip member); level and strategy as zlib takes them. The room starts at deflateBound and
// grows: zlib 1.2.13's bound is short for stored blocks with a window below 15 bits.
inline bytes zlib_deflate(std::span<const element> data, int window, int level, int strategy) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window, 8, strategy) != Z_OK) {
    fail("deflateInit2 refused the settings");
  }
  bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<element*>(data.data());  // zlib does not write through next_in
  stream.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    const int code = deflate(&stream, Z_FINISH);
    if (code == Z_STREAM_END) break;
    if (code != Z_OK && code != Z_BUF_ERROR) fail("deflate failed");
    out.resize(out.size() + out.size() / 4 + 64);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace wrenfold::fuzz
