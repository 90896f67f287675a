// One-shot calls: compress checks its options before zlib runs and writes one stream that zlib
// reads back; decompress bounds its output and reports how the input is wrong by code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
namespace wc = wrenfold::coders;
using namespace wrenfold::testing;
using testing::AllOf;
using testing::HasSubstr;
using zl::header_type;

TEST(compress_test, writes_one_stream_that_zlib_reads) {
  const bytes text = sample(data_shape::text, 100000);
  const bytes noise = sample(data_shape::random, 70000);
  const zl::deflate_options rows[] = {
      {},
      {.level = zl::best_speed, .header = header_type::GZIP},
      {.level = zl::no_compression, .header = header_type::NONE},
      {.level = zl::best_compression, .strategy = zl::filtered, .header = header_type::AUTO},
      {.strategy = zl::huffman_only, .memory_level = 1, .header = header_type::GZIP},
      {.strategy = zl::rle, .window_bits = 9, .memory_level = 9},
      {.strategy = 4 /* fixed codes */, .window_bits = 8, .header = header_type::NONE},
      {.window_bits = 8, .header = header_type::GZIP},
  };
  for (const auto& options : rows) {
    SCOPED_TRACE(testing::Message() << "level " << options.level << " strategy " << options.strategy
                                    << " window " << options.window_bits << " memory "
                                    << options.memory_level << " " << options.header);
    for (const bytes* data : {&text, &noise}) {
      const bytes packed = zl::compress(*data, options);
      // zlib with the window asked for: what is written stays inside it.
      const int window = options.header == header_type::NONE   ? -options.window_bits
                         : options.header == header_type::GZIP ? 16 + options.window_bits
                                                               : std::max(options.window_bits, 9);
      EXPECT_EQ(inflate_whole(packed, window), *data);
      EXPECT_EQ(zl::decompress(packed,
                               {.header = options.header == header_type::NONE ? header_type::NONE
                                                                              : header_type::AUTO}),
                *data);
    }
    const bytes empty = zl::compress({}, options);
    EXPECT_EQ(inflate_whole(empty, zlib_window(options.header, 15, coding::compress)), bytes{});
  }
}

// Each option is checked against its range before zlib runs; the message names the option, the
// value and the range.
TEST(compress_test, refuses_options_outside_their_ranges) {
  struct row {
    zl::deflate_options options;
    const char* text;
  };
  const row rows[] = {
      {{.level = 10}, "level 10 outside -1..9"},
      {{.level = -2}, "level -2 outside -1..9"},
      {{.strategy = 5}, "strategy 5 outside 0..4"},
      {{.window_bits = 7}, "window_bits 7 outside 8..15"},
      {{.window_bits = -15},
       "window_bits -15 outside 8..15 (the header mode chooses the framing; "
       "zlib's negative and +16/+32 forms are not taken)"},
      {{.window_bits = 31}, "window_bits 31 outside 8..15"},
      {{.memory_level = 0}, "memory_level 0 outside 1..9"},
      {{.memory_level = 10}, "memory_level 10 outside 1..9"},
  };
  const bytes data(10, 'x');
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_THAT([&] { zl::compress(data, r.options); },
                testing::ThrowsMessage<wc::constraint_error>(HasSubstr(r.text)));
  }
  EXPECT_THROW(zl::compress(data, {.header = static_cast<header_type>(9)}), wc::constraint_error);
  EXPECT_THROW(zl::decompress(data, {.window_bits = 31}), wc::constraint_error);
}

TEST(decompress_test, output_is_bounded_by_max_output) {
  const bytes data = sample(data_shape::zeros, 1 << 20);
  for (header_type framing : {header_type::GZIP, header_type::DEFAULT}) {
    SCOPED_TRACE(framing);
    const bytes packed = zl::compress(data, {.header = framing});
    EXPECT_EQ(zl::decompress(packed, {.max_output = data.size()}), data);  // exactly the limit
    EXPECT_THAT([&] { zl::decompress(packed, {.max_output = data.size() - 1}); },
                testing::ThrowsMessage<wc::output_limit_error>(
                    AllOf(HasSubstr("max_output"), HasSubstr(std::to_string(data.size() - 1)))));
    EXPECT_THROW(zl::decompress(packed, {.max_output = 0}), wc::output_limit_error);
  }
  // An empty stream fits any limit.
  EXPECT_EQ(zl::decompress(zl::compress({}), {.max_output = 0}), bytes{});
}

// Callers tell truncation from corruption by code, never by reading the message.
TEST(decompress_test, failures_carry_their_code) {
  const bytes packed = zl::compress(sample(data_shape::text, 3000), {.header = header_type::GZIP});
  struct row {
    const char* name;
    bytes input;
    zl::return_code_enum code;
  };
  const row rows[] = {
      {"empty", {}, zl::return_code_enum::BUF_ERROR},
      {"cut short", bytes(packed.begin(), packed.end() - 3), zl::return_code_enum::BUF_ERROR},
      {"not compressed", bytes(50, 'a'), zl::return_code_enum::DATA_ERROR},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    try {
      zl::decompress(r.input);
      ADD_FAILURE() << "accepted";
    } catch (const zl::zlib_error& error) {
      EXPECT_EQ(error.code(), r.code) << error.what();
    }
  }
}

}  // namespace
