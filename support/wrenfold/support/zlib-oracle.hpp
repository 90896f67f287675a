// Plain zlib as the oracle of tests, fuzzers and benchmarks: one map from a header mode to zlib's
// window bits, one-shot deflate and inflate with zlib's own calls. Nothing here uses the coder.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::support {

using bytes = std::vector<coders::element>;

// zlib's window bits for a header mode, as the coder hands them to zlib on decompression: raw
// deflate negative, gzip +16, detection of zlib or gzip +32. Reading what the coder writes in
// any mode, these bits accept exactly that framing (AUTO: zlib, which detection accepts).
inline int zlib_window(coders::zlib::header_type header, int window_bits = 15) {
  using coders::zlib::header_type;
  switch (header) {
    case header_type::NONE:
      return -window_bits;
    case header_type::AUTO:
      return window_bits + 32;
    case header_type::GZIP:
      return window_bits + 16;
    case header_type::DEFAULT:
      break;
  }
  return window_bits;
}

// What plain zlib made of an input.
struct inflate_result {
  int code = Z_OK;       // Z_STREAM_END for a complete stream
  bytes output;          // every byte zlib produced, up to the cap
  std::size_t consumed;  // input bytes zlib took
  std::string message;   // zlib's text for a failure

  bool complete() const { return code == Z_STREAM_END; }
};

// Plain zlib inflate of data (window bits as zlib takes them) until the stream ends, fails, or
// output_cap bytes are out; 64 KiB of room per call.
inline inflate_result zlib_inflate(std::span<const coders::element> data, int window,
                                   std::size_t output_cap = std::numeric_limits<std::size_t>::max()) {
  inflate_result result{Z_OK, {}, 0, {}};
  z_stream stream{};
  if (inflateInit2(&stream, window) != Z_OK) {
    result.code = Z_STREAM_ERROR;
    result.message = "inflateInit2 refused the window";
    return result;
  }
  bytes room(std::size_t{1} << 16);
  stream.next_in = const_cast<coders::element*>(data.data());  // zlib does not write through it
  stream.avail_in = static_cast<uInt>(data.size());
  while (result.code == Z_OK && result.output.size() < output_cap) {
    stream.next_out = room.data();
    stream.avail_out = static_cast<uInt>(room.size());
    result.code = inflate(&stream, Z_NO_FLUSH);  // Z_BUF_ERROR: the input ends first
    result.output.insert(result.output.end(), room.begin(),
                         room.end() - static_cast<std::ptrdiff_t>(stream.avail_out));
  }
  result.consumed = data.size() - stream.avail_in;
  if (stream.msg != nullptr) result.message = stream.msg;
  inflateEnd(&stream);
  return result;
}

// Plain zlib deflate of all of data, with zlib's own window bits (negative for raw deflate, +16
// for a gzip member). The room starts at deflateBound and grows: zlib 1.2.13's bound is short for
// stored blocks with a window below 15 bits.
inline bytes zlib_deflate(std::span<const coders::element> data, int level, int window,
                          int strategy = Z_DEFAULT_STRATEGY, int memory_level = 8) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window, memory_level, strategy) != Z_OK) {
    return {};
  }
  bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<coders::element*>(data.data());  // zlib does not write through it
  stream.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    const int code = deflate(&stream, Z_FINISH);
    if (code == Z_STREAM_END) break;
    if (code != Z_OK && code != Z_BUF_ERROR) {
      deflateEnd(&stream);
      return {};
    }
    out.resize(out.size() + out.size() / 4 + 64);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace wrenfold::support
