// Shared helpers for the tests: the support library's drive loop, zlib oracle and sample data
// under wrenfold::testing, zlib's verdicts read as test expectations, a compressor opened with
// the default tuning, and streambufs over memory the test made up front.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <span>
#include <streambuf>
#include <utility>
#include <vector>
#include <wrenfold/coders-zlib.hpp>
#include <wrenfold/support/drive.hpp>
#include <wrenfold/support/samples.hpp>
#include <wrenfold/support/zlib-oracle.hpp>

namespace wrenfold::testing {

using coders::element_index;
using support::bytes;
using support::coding;
using support::data_shape;
using support::drive;
using support::drive_options;
using support::drive_state;
using support::pump;
using support::sample;
using support::zlib_deflate;
using support::zlib_inflate;
using support::zlib_window;

// Plain zlib's reading of a whole stream; fails the test unless the stream is complete and
// nothing follows it.
inline bytes inflate_whole(std::span<const coders::element> data, int window) {
  auto result = zlib_inflate(data, window);
  EXPECT_TRUE(result.complete()) << "zlib: " << result.code << " " << result.message;
  EXPECT_EQ(result.consumed, data.size()) << "bytes after the end of the stream";
  return std::move(result.output);
}

// Plain zlib's reading of a stream that has not ended yet, as far as it goes; fails the test
// unless zlib takes every byte without an error and without reaching the end of the stream, so
// the result is exactly what the bytes so far make decodable.
inline bytes inflate_so_far(std::span<const coders::element> data, int window) {
  auto result = zlib_inflate(data, window);
  EXPECT_EQ(result.code, Z_BUF_ERROR) << "zlib: " << result.message;
  EXPECT_EQ(result.consumed, data.size()) << "bytes zlib could not take";
  return std::move(result.output);
}

// Opens coder for compression with the default tuning and the given framing and level.
inline void open_compressor(coders::zlib::coder_type& coder, coders::zlib::header_type header,
                            int level = coders::zlib::default_compression) {
  namespace zl = coders::zlib;
  coder.deflate_init(level, zl::default_strategy, zl::deflated, zl::default_window_bits,
                     zl::default_memory_level, header);
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
