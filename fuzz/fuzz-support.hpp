// Shared by the fuzz targets: a reader for the parameter bytes at the front of an input, the
// caps that keep a run cheap, and checks that abort. The drive loop, its per-call draws and
// plain zlib as the oracle come from the support library.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <wrenfold/coders-zlib.hpp>
#include <wrenfold/support/drive.hpp>
#include <wrenfold/support/zlib-oracle.hpp>

// libFuzzer's entry point; the replay main calls it too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace wrenfold::fuzz {

using coders::element;
using coders::element_index;
using coders::flush_mode;
using support::bytes;
using support::coding;
using support::draws;
using support::drive;
using support::drive_options;
using support::drive_state;
using support::flush_policy;
using support::zlib_deflate;
using support::zlib_window;

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

// The largest slice a parameter byte allows: 1 .. 64 times 1, 8, 64 or 512, so 1 byte .. 32 KiB.
inline std::size_t slice_limit(std::uint8_t code) {
  return (std::size_t{code & 63u} + 1) << (3 * (code >> 6));
}

// How a decoder is driven under the fuzz caps: each call's slice sizes, flush mode and first
// indexes drawn from the seed, and every call with input and room must move, as zlib's inflate
// does. The targets set the slice limits, the flush policy, empty slices and the seed.
inline drive_options decoder_drive() {
  drive_options options;
  options.seed = 0;
  options.draw_first = true;
  options.moves_with_input = true;
  options.output_cap = output_cap;
  options.call_budget = call_budget;
  options.idle_limit = idle_limit;
  return options;
}

// Plain zlib's reading of data as the targets compare with it: one inflate call with `room`
// bytes of room, so that a distance may reach back into all of its output; with gzip_header,
// the header of a gzip member too.
inline support::inflate_result zlib_oracle(std::span<const element> data, int window,
                                           std::size_t room = output_cap,
                                           bool gzip_header = false) {
  auto result =
      support::zlib_inflate(data, window, room, {.one_call = true, .gzip_header = gzip_header});
  check(result.code != Z_STREAM_ERROR, "zlib refused the oracle's settings");
  return result;
}

}  // namespace wrenfold::fuzz
