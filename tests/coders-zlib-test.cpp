// The coder's vocabulary: images, the result-code and flush tables, the entry-point table, the
// gzip header, and the crc32 and version queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string_view>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::flush_mode;
using zl::header_type;
using zl::return_code_enum;

struct code_row {
  int zlib_result;
  return_code_enum code;
  std::string_view text;
};
constexpr code_row code_rows[] = {
    {Z_NEED_DICT, return_code_enum::NEED_DICT, "NEED_DICT"},
    {Z_STREAM_END, return_code_enum::STREAM_END, "STREAM_END"},
    {Z_OK, return_code_enum::OK, "OK"},
    {Z_ERRNO, return_code_enum::ERRNO, "ERRNO"},
    {Z_STREAM_ERROR, return_code_enum::STREAM_ERROR, "STREAM_ERROR"},
    {Z_DATA_ERROR, return_code_enum::DATA_ERROR, "DATA_ERROR"},
    {Z_MEM_ERROR, return_code_enum::MEM_ERROR, "MEM_ERROR"},
    {Z_BUF_ERROR, return_code_enum::BUF_ERROR, "BUF_ERROR"},
    {Z_VERSION_ERROR, return_code_enum::VERSION_ERROR, "VERSION_ERROR"},
};

TEST(vocabulary_test, maps_and_prints_each_zlib_result) {
  for (const auto& row : code_rows) {
    SCOPED_TRACE(row.zlib_result);
    EXPECT_EQ(zl::return_code(row.zlib_result), row.code);
    EXPECT_EQ(zl::image(row.code), row.text);
  }
  EXPECT_EQ(zl::image(static_cast<return_code_enum>(0)), "OK");
  EXPECT_EQ(zl::image(static_cast<return_code_enum>(7)), "BUF_ERROR");
  EXPECT_EQ(zl::image(static_cast<return_code_enum>(8)), "VERSION_ERROR");
  for (int outside : {3, -7, INT32_MIN}) {
    EXPECT_THROW(zl::return_code(outside), constraint_error);
  }
  EXPECT_THROW(zl::image(static_cast<return_code_enum>(9)), constraint_error);

  // An error made from a message alone, as a client may make one, says only that it failed.
  const zl::zlib_error plain("a message");
  EXPECT_STREQ(plain.what(), "a message");
  EXPECT_EQ(plain.code(), return_code_enum::ERRNO);
  EXPECT_EQ(zl::zlib_error(return_code_enum::DATA_ERROR, "x").code(), return_code_enum::DATA_ERROR);
}

TEST(vocabulary_test, header_images_and_streaming) {
  constexpr std::pair<header_type, std::string_view> rows[] = {
      {header_type::NONE, "NONE"},
      {header_type::AUTO, "AUTO"},
      {header_type::DEFAULT, "DEFAULT"},
      {header_type::GZIP, "GZIP"},
  };
  for (const auto& [header, text] : rows) EXPECT_EQ(zl::image(header), text);
  std::ostringstream out;
  out << header_type::GZIP << ' ' << return_code_enum::BUF_ERROR;
  EXPECT_EQ(out.str(), "GZIP BUF_ERROR");
  EXPECT_THROW(zl::image(static_cast<header_type>(4)), constraint_error);
}

TEST(vocabulary_test, constants_carry_zlibs_values) {
  EXPECT_EQ(zl::no_compression, Z_NO_COMPRESSION);
  EXPECT_EQ(zl::best_speed, Z_BEST_SPEED);
  EXPECT_EQ(zl::best_compression, Z_BEST_COMPRESSION);
  EXPECT_EQ(zl::default_compression, Z_DEFAULT_COMPRESSION);
  EXPECT_EQ(zl::filtered, Z_FILTERED);
  EXPECT_EQ(zl::huffman_only, Z_HUFFMAN_ONLY);
  EXPECT_EQ(zl::rle, Z_RLE);
  EXPECT_EQ(zl::deflated, Z_DEFLATED);
}

TEST(vocabulary_test, fixed_tables) {
  // sync_flush is zlib's Z_SYNC_FLUSH (2), not its partial flush (1).
  EXPECT_EQ(zl::flush_to_c[static_cast<int>(flush_mode::no_flush)], 0);
  EXPECT_EQ(zl::flush_to_c[static_cast<int>(flush_mode::sync_flush)], 2);
  EXPECT_EQ(zl::flush_to_c[static_cast<int>(flush_mode::full_flush)], 3);
  EXPECT_EQ(zl::flush_to_c[static_cast<int>(flush_mode::finish)], 4);

  EXPECT_EQ(zl::flate[false].process, &inflate);
  EXPECT_EQ(zl::flate[false].release, &inflateEnd);
  EXPECT_EQ(zl::flate[true].process, &deflate);
  EXPECT_EQ(zl::flate[true].release, &deflateEnd);

  EXPECT_THAT(zl::simple_gzip_header,
              testing::ElementsAre(0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03));
}

TEST(crc32_test, continues_a_running_checksum) {
  const auto data = wrenfold::testing::sample(wrenfold::testing::data_shape::text, 1000);
  const std::string_view check = "123456789";
  const const_element_array check_bytes(reinterpret_cast<const element*>(check.data()),
                                        check.size(), 7);
  EXPECT_EQ(zl::crc32(0, check_bytes), 0xCBF43926u);  // the standard check value

  const auto whole = zl::crc32(0, const_element_array(data.data(), data.size()));
  const auto first = zl::crc32(0, const_element_array(data.data(), 300, -5));
  EXPECT_EQ(zl::crc32(first, const_element_array(data.data() + 300, 700)), whole);

  // An empty array may have no address; the running value must survive it.
  EXPECT_EQ(zl::crc32(whole, const_element_array()), whole);
  EXPECT_EQ(zl::crc32(whole, const_element_array(data.data(), 0, 9)), whole);
}

TEST(crc32_test, refuses_data_longer_than_zlib_can_take) {
  element byte = 0;  // the length is checked before any byte is read
  EXPECT_THROW(zl::crc32(0, const_element_array(&byte, std::size_t{1} << 32)), constraint_error);
}

TEST(version_test, reports_the_running_zlib) {
  EXPECT_EQ(zl::version(), zlibVersion());
  EXPECT_EQ(zl::version(), zl::thin::zlib_version);
}

}  // namespace
