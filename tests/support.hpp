// Shared helpers for the tests: sample data, a pump that drives any coder as a client does and
// checks every call's positions, and plain zlib as the oracle.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <streambuf>
#include <string>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::testing {

using bytes = std::vector<coders::element>;
using coders::element_index;

enum class data_shape { text, random, zeros };

// Deterministic sample data of the given shape.
inline bytes sample(data_shape shape, std::size_t size, std::uint32_t seed = 1) {
  bytes data(size);
  std::mt19937 rng(seed);
  static constexpr std::string_view words[] = {"the ",  "coder ", "stream ", "zlib ",   "of ",
                                               "data ", "gzip ",  "and ",    "window ", "\n"};
  switch (shape) {
    case data_shape::zeros:
      break;
    case data_shape::random:
      for (auto& b : data) b = static_cast<coders::element>(rng());
      break;
    case data_shape::text: {
      std::size_t at = 0;
      while (at < size) {
        const auto word = words[std::min<std::size_t>(rng() % 16, 9)];
        for (char c : word) {
          if (at == size) break;
          data[at++] = static_cast<coders::element>(c);
        }
      }
      break;
    }
  }
  return data;
}

struct pump_options {
  std::size_t in_chunk = 1 << 16;   // input handed over per call (at most)
  std::size_t out_chunk = 1 << 16;  // fresh output room per call
  element_index first = 1000;       // first index of every array handed over
  bool count_framing = false;       // total_out does not count the coder's own framing bytes
  std::uint32_t seed = 0;           // non-zero: random chunk sizes up to in_chunk / out_chunk
};

// Drives coder as a client does until finished(): no_flush while input remains, then finish.
// After every call checks that the positions lie in [first - 1, last] and, unless the coder adds
// framing of its own, that the totals moved by exactly the reported amounts.
inline bytes pump(coders::coder_interface& coder, std::span<const coders::element> input,
                  const pump_options& options = {}) {
  bytes output;
  bytes room(options.out_chunk);
  std::mt19937 rng(options.seed);
  auto draw = [&](std::size_t limit) { return options.seed == 0 ? limit : 1 + rng() % limit; };
  std::size_t at = 0;
  int idle_calls = 0;
  while (!coder.finished()) {
    const std::size_t in_size = std::min(draw(options.in_chunk), input.size() - at);
    const std::size_t out_size = draw(options.out_chunk);
    const coders::const_element_array in(input.data() + at, in_size, options.first);
    const coders::element_array out(room.data(), out_size, options.first);
    const auto flush =
        at + in_size < input.size() ? coders::flush_mode::no_flush : coders::flush_mode::finish;
    const auto in_before = coder.total_in();
    const auto out_before = coder.total_out();
    const auto [in_last, out_last] = coder.transcode(in, out, flush);
    EXPECT_GE(in_last, in.first() - 1);
    EXPECT_LE(in_last, in.last());
    EXPECT_GE(out_last, out.first() - 1);
    EXPECT_LE(out_last, out.last());
    const auto consumed = static_cast<std::size_t>(in_last - in.first() + 1);
    const auto produced = static_cast<std::size_t>(out_last - out.first() + 1);
    EXPECT_EQ(coder.total_in() - in_before, static_cast<std::int64_t>(consumed));
    if (!options.count_framing) {
      EXPECT_EQ(coder.total_out() - out_before, static_cast<std::int64_t>(produced));
    }
    output.insert(output.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(produced));
    at += consumed;
    idle_calls = consumed == 0 && produced == 0 ? idle_calls + 1 : 0;
    if (idle_calls > 3 || ::testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << "coder makes no progress";
      break;
    }
  }
  EXPECT_EQ(at, input.size()) << "input left unconsumed";
  return output;
}

// zlib's own window bits for reading what our compressor writes in each header mode.
inline int oracle_window(coders::zlib::header_type header) {
  using coders::zlib::header_type;
  return header == header_type::NONE ? -15 : header == header_type::GZIP ? 31 : 15;
}

// Opens coder for compression with the default tuning and the given framing and level.
inline void open_compressor(coders::zlib::coder_type& coder, coders::zlib::header_type header,
                            int level = coders::zlib::default_compression) {
  namespace zl = coders::zlib;
  coder.deflate_init(level, zl::default_strategy, zl::deflated, zl::default_window_bits,
                     zl::default_memory_level, header);
}

// Plain zlib, one shot, as the oracle. window_bits as zlib takes them (negative: raw, +16: gzip).
inline bytes zlib_deflate(std::span<const coders::element> input, int level, int window_bits) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    ADD_FAILURE() << "deflateInit2 failed";
    return {};
  }
  bytes output(deflateBound(&stream, input.size()) + 32);
  stream.next_in = const_cast<coders::element*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// Plain zlib inflate of a whole stream; fails the test unless the stream is complete and
// nothing follows it.
inline bytes zlib_inflate(std::span<const coders::element> input, int window_bits) {
  z_stream stream{};
  if (inflateInit2(&stream, window_bits) != Z_OK) {
    ADD_FAILURE() << "inflateInit2 failed";
    return {};
  }
  bytes output;
  bytes room(1 << 16);
  stream.next_in = const_cast<coders::element*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = room.data();
    stream.avail_out = static_cast<uInt>(room.size());
    code = inflate(&stream, Z_NO_FLUSH);
    output.insert(output.end(), room.begin(), room.end() - stream.avail_out);
  }
  EXPECT_EQ(code, Z_STREAM_END) << (stream.msg ? stream.msg : "");
  EXPECT_EQ(stream.avail_in, 0u) << "bytes after the end of the stream";
  inflateEnd(&stream);
  return output;
}

// Partial-stream oracle: plain zlib inflates input, a stream that has not ended yet, as far as it
// goes. Fails the test unless zlib takes every byte without an error and without reaching the
// end of the stream, so the result is exactly what the bytes so far make decodable.
inline bytes zlib_inflate_so_far(std::span<const coders::element> input, int window_bits) {
  z_stream stream{};
  if (inflateInit2(&stream, window_bits) != Z_OK) {
    ADD_FAILURE() << "inflateInit2 failed";
    return {};
  }
  bytes output;
  bytes room(1 << 16);
  stream.next_in = const_cast<coders::element*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  int code = Z_OK;
  do {
    stream.next_out = room.data();
    stream.avail_out = static_cast<uInt>(room.size());
    code = inflate(&stream, Z_SYNC_FLUSH);
    output.insert(output.end(), room.begin(), room.end() - stream.avail_out);
  } while (code == Z_OK && stream.avail_out == 0);
  EXPECT_TRUE(code == Z_OK || code == Z_BUF_ERROR) << code << " " << (stream.msg ? stream.msg : "");
  EXPECT_EQ(stream.avail_in, 0u) << "bytes zlib could not take";
  inflateEnd(&stream);
  return output;
}

// A sink streambuf of fixed capacity, its memory made at construction: it takes bytes until it is
// full and then fewer than it is given, as a short write does. Writing to it allocates nothing.
class fixed_sink : public std::streambuf {
 public:
  explicit fixed_sink(std::size_t capacity) : room_(capacity) { clear(); }

  // What has been written since construction or the last clear().
  std::span<const coders::element> contents() const {
    return {reinterpret_cast<const coders::element*>(pbase()),
            static_cast<std::size_t>(pptr() - pbase())};
  }
  void clear() { setp(room_.data(), room_.data() + room_.size()); }

 private:
  std::vector<char> room_;
};

// A source streambuf over bytes the caller keeps: reads hand them out in order and allocate
// nothing; then the end of the data.
class memory_source : public std::streambuf {
 public:
  explicit memory_source(std::span<const coders::element> data) {
    // The get area is never written through: a streambuf's pointers are simply not const.
    char* first = const_cast<char*>(reinterpret_cast<const char*>(data.data()));
    setg(first, first, first + data.size());
  }

  // Bytes handed out so far.
  std::size_t position() const { return static_cast<std::size_t>(gptr() - eback()); }
};

}  // namespace wrenfold::testing
