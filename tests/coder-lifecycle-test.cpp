// The coder's lifecycle: opening in each mode, zlib's refusals, re-initialising, closing, and
// the queries in every state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::ThrowsMessage;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element_array;
using wrenfold::coders::flush_mode;
using zl::coder_type;
using zl::header_type;
using zl::zlib_error;

constexpr header_type all_headers[] = {header_type::NONE, header_type::AUTO, header_type::DEFAULT,
                                       header_type::GZIP};

TEST(coder_lifecycle_test, closed_coder_refuses_every_stream_operation) {
  coder_type coder;
  EXPECT_FALSE(coder.is_open());
  EXPECT_FALSE(coder.finished());
  EXPECT_THROW((void)coder.total_in(), constraint_error);
  EXPECT_THROW((void)coder.total_out(), constraint_error);
  bytes room(16);
  const bytes input(4, 'x');
  EXPECT_THROW(coder.transcode(const_element_array(input.data(), input.size()),
                               element_array(room.data(), room.size()), flush_mode::finish),
               constraint_error);
  coder.close();
  coder.close();
  EXPECT_FALSE(coder.is_open());
}

TEST(coder_lifecycle_test, opens_in_every_mode_with_zero_totals) {
  for (const auto header : all_headers) {
    SCOPED_TRACE(header);
    coder_type coder;
    open_compressor(coder, header, zl::best_speed);
    EXPECT_TRUE(coder.is_open());
    EXPECT_FALSE(coder.finished());
    EXPECT_EQ(coder.total_in(), 0);
    EXPECT_EQ(coder.total_out(), 0);
    coder.inflate_init(zl::default_window_bits, header);  // re-init into the other direction
    EXPECT_TRUE(coder.is_open());
    EXPECT_EQ(coder.total_in(), 0);
  }
}

TEST(coder_lifecycle_test, auto_compresses_exactly_as_default) {
  const auto input = sample(data_shape::text, 5000);
  auto compress = [&](header_type header) {
    coder_type coder;
    open_compressor(coder, header);
    return pump(coder, input);
  };
  const auto framed = compress(header_type::AUTO);
  EXPECT_EQ(framed, compress(header_type::DEFAULT));
  EXPECT_EQ(inflate_whole(framed, 15), input);
}

TEST(coder_lifecycle_test, zlibs_refusal_is_a_zlib_error_and_leaves_the_coder_open) {
  struct refusal {
    const char* what;
    void (*init)(coder_type&);
  };
  const refusal refusals[] = {
      {"level 42", [](coder_type& c) { c.deflate_init(42); }},
      {"method 7", [](coder_type& c) { c.deflate_init(6, 0, 7); }},
      {"window 3", [](coder_type& c) { c.deflate_init(6, 0, zl::deflated, 3); }},
      {"memory level 0", [](coder_type& c) { c.deflate_init(6, 0, zl::deflated, 15, 0); }},
      {"strategy 9", [](coder_type& c) { c.deflate_init(6, 9); }},
      {"inflate window 3", [](coder_type& c) { c.inflate_init(3); }},
      {"inflate window 3 raw", [](coder_type& c) { c.inflate_init(3, header_type::NONE); }},
  };
  for (const auto& row : refusals) {
    SCOPED_TRACE(row.what);
    coder_type coder;
    try {
      row.init(coder);
      ADD_FAILURE() << "zlib accepted it";
    } catch (const zlib_error& error) {
      EXPECT_EQ(error.code(), zl::return_code_enum::STREAM_ERROR);  // zlib's own result
    }
    EXPECT_TRUE(coder.is_open());
    coder.deflate_init();  // and it can be opened again
    const auto input = sample(data_shape::text, 100);
    EXPECT_EQ(inflate_whole(pump(coder, input), 15), input);
  }
}

TEST(coder_lifecycle_test, window_arithmetic_overflow_is_a_constraint_error) {
  coder_type coder;
  EXPECT_THROW(coder.deflate_init(6, 0, zl::deflated, INT_MIN, 8, header_type::NONE),
               constraint_error);
  EXPECT_TRUE(coder.is_open());
  EXPECT_THROW(coder.deflate_init(6, 0, zl::deflated, INT_MIN, 8, header_type::GZIP),
               constraint_error);
  EXPECT_THROW(coder.inflate_init(INT_MAX, header_type::AUTO), constraint_error);
  EXPECT_THROW(coder.inflate_init(INT_MAX - 10, header_type::GZIP), constraint_error);
  EXPECT_THROW(coder.inflate_init(INT_MIN, header_type::NONE), constraint_error);
  EXPECT_THROW(coder.inflate_init(15, static_cast<header_type>(7)), constraint_error);
  coder.inflate_init();
  const auto input = sample(data_shape::text, 100);
  EXPECT_EQ(pump(coder, zlib_deflate(input, 6, 15)), input);
}

TEST(coder_lifecycle_test, reinit_reuses_the_coder_in_either_direction) {
  const auto input = sample(data_shape::text, 3000);
  coder_type coder;
  bytes packed;
  for (int round = 0; round < 3; ++round) {
    open_compressor(coder, header_type::GZIP, zl::best_compression);
    packed = pump(coder, input, {.counts_framing = true});
    EXPECT_TRUE(coder.finished());
    coder.inflate_init(zl::default_window_bits, header_type::AUTO);
    EXPECT_FALSE(coder.finished());
    EXPECT_EQ(pump(coder, packed), input);
    EXPECT_TRUE(coder.finished());
  }
  // close keeps the last verdict; a second close does nothing.
  coder.close();
  EXPECT_TRUE(coder.finished());
  coder.close();
  EXPECT_FALSE(coder.is_open());
  coder.inflate_init(zl::default_window_bits, header_type::GZIP);
  EXPECT_FALSE(coder.finished());
  EXPECT_EQ(pump(coder, packed), input);
}

TEST(coder_lifecycle_test, totals_count_only_what_zlib_consumed_and_produced) {
  const auto input = sample(data_shape::text, 20000);
  coder_type coder;
  coder.deflate_init(6, 0, zl::deflated, 15, 8, header_type::GZIP);
  const auto member =
      pump(coder, input, {.in_chunk = 777, .out_chunk = 500, .counts_framing = true});
  EXPECT_EQ(coder.total_in(), static_cast<std::int64_t>(input.size()));
  EXPECT_EQ(coder.total_out() + 18, static_cast<std::int64_t>(member.size()));

  coder.inflate_init(15, header_type::GZIP);
  EXPECT_EQ(pump(coder, member, {.in_chunk = 300, .out_chunk = 1000}), input);
  EXPECT_EQ(coder.total_in(), static_cast<std::int64_t>(member.size()));
  EXPECT_EQ(coder.total_out(), static_cast<std::int64_t>(input.size()));
}

}  // namespace
