// The gzip member framing written on compression: header and trailer bytes, their splitting
// across calls however little room each call has, and when the member counts as finished.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::ElementsAre;
using testing::ElementsAreArray;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::element_index;
using wrenfold::coders::flush_mode;
using wrenfold::coders::transcode_result;
using zl::coder_type;
using zl::header_type;

void open_gzip(coder_type& coder) { open_compressor(coder, header_type::GZIP); }

bytes le32(std::uint32_t value) {
  return {static_cast<element>(value), static_cast<element>(value >> 8),
          static_cast<element>(value >> 16), static_cast<element>(value >> 24)};
}

// One call with arrays numbered from 1000; appends what it wrote to `member`.
struct caller {
  coder_type& coder;
  bytes member;

  transcode_result call(std::span<const element> in, std::size_t room, flush_mode flush) {
    bytes out(room);
    const element_array out_array(out.data(), out.size(), 1000);
    const auto result =
        coder.transcode(const_element_array(in.data(), in.size(), 1000), out_array, flush);
    member.insert(member.end(), out.begin(), out.begin() + (result.out_last - 999));
    return result;
  }
};

TEST(gzip_framing_test, member_is_header_deflate_data_crc_and_size) {
  const auto input = sample(data_shape::text, 30000);
  coder_type coder;
  open_gzip(coder);
  caller c{coder, {}};
  const auto first = c.call(input, 20, flush_mode::sync_flush);
  EXPECT_EQ(first.out_last, 1019);  // the header and deflate data directly after it
  EXPECT_THAT(std::span(c.member).first(10),
              ElementsAre(0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03));
  c.member = pump(coder, std::span(input).subspan(static_cast<std::size_t>(first.in_last - 999)),
                  {.out_chunk = 333, .counts_framing = true});
  EXPECT_TRUE(coder.finished());

  const auto crc = zl::crc32(0, const_element_array(input.data(), input.size()));
  bytes trailer = le32(crc);
  const auto size = le32(static_cast<std::uint32_t>(input.size()));
  trailer.insert(trailer.end(), size.begin(), size.end());
  EXPECT_THAT(std::span(c.member).last(8), ElementsAreArray(trailer));
}

TEST(gzip_framing_test, empty_input_in_one_call) {
  coder_type coder;
  open_gzip(coder);
  caller c{coder, {}};
  c.call({}, 100, flush_mode::finish);
  EXPECT_TRUE(coder.finished());
  ASSERT_EQ(c.member.size(), 10 + static_cast<std::size_t>(coder.total_out()) + 8);
  EXPECT_THAT(std::span(c.member).last(8), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_TRUE(inflate_whole(c.member, 31).empty());
}

TEST(gzip_framing_test, header_bytes_are_never_lost_in_small_output_arrays) {
  const auto input = sample(data_shape::text, 3000);
  coder_type coder;
  open_gzip(coder);
  caller c{coder, {}};
  // A call whose room the header fills succeeds without running zlib.
  for (element_index expected_last : {1003, 1003}) {
    const auto result = c.call(input, 4, flush_mode::no_flush);
    EXPECT_EQ(result.in_last, 999);
    EXPECT_EQ(result.out_last, expected_last);
  }
  EXPECT_THAT(c.member, ElementsAre(0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00));
  c.call(input, 4, flush_mode::no_flush);  // bytes 9 and 10, then zlib has 2 bytes of room
  ASSERT_GE(c.member.size(), 10u);
  EXPECT_EQ(c.member[8], 0x00);
  EXPECT_EQ(c.member[9], 0x03);

  coder_type fresh;
  open_gzip(fresh);
  const auto member = pump(fresh, input, {.out_chunk = 4, .counts_framing = true});
  EXPECT_EQ(inflate_whole(member, 31), input);
}

TEST(gzip_framing_test, a_failing_call_writes_its_header_bytes_again_next_time) {
  const auto input = sample(data_shape::text, 3000);
  coder_type coder;
  open_gzip(coder);
  caller c{coder, {}};
  element byte = 0;
  bytes room(16);
  // zlib refuses an input array this long after the header bytes were copied into room.
  EXPECT_THROW(coder.transcode(const_element_array(&byte, std::size_t{1} << 32),
                               element_array(room.data(), room.size()), flush_mode::no_flush),
               constraint_error);
  EXPECT_THROW(coder.transcode(const_element_array(), element_array(room.data(), 12),
                               static_cast<flush_mode>(9)),
               constraint_error);
  c.member = pump(coder, input, {.out_chunk = 5, .counts_framing = true});
  EXPECT_EQ(inflate_whole(c.member, 31), input);
}

TEST(gzip_framing_test, trailer_split_across_calls_and_finished_only_when_whole) {
  const auto input = sample(data_shape::text, 10000);
  // How long the deflate data is when the whole member fits in one call.
  coder_type probe;
  open_gzip(probe);
  caller whole{probe, {}};
  whole.call(input, 20000, flush_mode::finish);
  ASSERT_TRUE(probe.finished());
  const auto deflate_size = static_cast<std::size_t>(probe.total_out());

  // The end of the data leaves 1 byte, then 0 bytes, for the trailer.
  for (std::size_t spare : {1u, 0u}) {
    SCOPED_TRACE(spare);
    coder_type coder;
    open_gzip(coder);
    caller c{coder, {}};
    c.call(input, 10 + deflate_size + spare, flush_mode::finish);
    EXPECT_FALSE(coder.finished());
    const std::size_t expected[2][3] = {{6, 9, 9}, {5, 9, 9}};  // member bytes past deflate
    for (const auto after : expected[spare == 1 ? 0 : 1]) {
      c.call({}, 4, flush_mode::finish);
      EXPECT_EQ(c.member.size(), 10 + deflate_size + after - 1);
      EXPECT_EQ(coder.finished(), after == 9);
    }
    EXPECT_EQ(c.member, whole.member);
    // A complete member: nothing more, even with both arrays empty.
    const auto done = c.call({}, 4, flush_mode::finish);
    EXPECT_EQ(done.in_last, 999);
    EXPECT_EQ(done.out_last, 999);
    EXPECT_NO_THROW(coder.transcode({}, {}, flush_mode::finish));
    EXPECT_EQ(c.member, whole.member);
  }
}

TEST(gzip_framing_test, closed_compressor_refuses_to_frame) {
  coder_type coder;
  open_gzip(coder);
  coder.close();
  bytes room(32);
  EXPECT_THROW(coder.transcode({}, element_array(room.data(), room.size()), flush_mode::finish),
               constraint_error);
  EXPECT_THAT(room, testing::Each(0));
}

}  // namespace
