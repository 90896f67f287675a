// The zlib binding: the record's setters and readers, the captured version and the inits.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <wrenfold/coders-zlib-thin.hpp>

namespace {

namespace thin = wrenfold::coders::zlib::thin;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;

TEST(thin_test, record_is_zlibs_own_and_starts_all_zero) {
  const thin::z_stream record{};
  std::array<unsigned char, sizeof(thin::z_stream)> zero{};
  EXPECT_EQ(std::memcmp(&record, zero.data(), zero.size()), 0);
  EXPECT_EQ(thin::last_error_message(record), "");
  EXPECT_EQ(thin::nul, nullptr);
}

TEST(thin_test, setters_and_readers_reach_zlibs_fields) {
  thin::z_stream record{};
  std::array<element, 8> in{};
  std::array<element, 4> out{};
  thin::set_in(record, in.data(), 8);
  thin::set_out(record, out.data(), 0);  // length 0 keeps the address
  EXPECT_EQ(record.next_in, in.data());
  EXPECT_EQ(thin::avail_in(record), 8u);
  EXPECT_EQ(record.next_out, out.data());
  EXPECT_EQ(thin::avail_out(record), 0u);
  record.total_in = 5;
  record.total_out = 7;
  EXPECT_EQ(thin::total_in(record), 5u);
  EXPECT_EQ(thin::total_out(record), 7u);

  int token = 0;
  const alloc_func alloc = [](voidpf, uInt, uInt) -> voidpf { return nullptr; };
  const free_func release = [](voidpf, voidpf) {};
  thin::set_mem_func(record, &token, alloc, release);  // opaque comes first
  EXPECT_EQ(record.opaque, &token);
  EXPECT_EQ(record.zalloc, alloc);
  EXPECT_EQ(record.zfree, release);

  char text[] = "invalid block type";
  record.msg = text;
  EXPECT_EQ(thin::last_error_message(record), "invalid block type");
}

TEST(thin_test, captures_the_loaded_zlib_version) {
  ASSERT_NE(thin::zlib_version, nullptr);
  EXPECT_STREQ(thin::zlib_version, zlibVersion());
}

TEST(thin_test, inits_start_zlib_and_refuse_a_null_record) {
  thin::z_stream record{};
  ASSERT_EQ(thin::deflate_init(&record, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  EXPECT_EQ(thin::last_error_message(record), "");
  deflateEnd(&record);
  ASSERT_EQ(thin::inflate_init(&record, 15 + 32), Z_OK);
  inflateEnd(&record);
  EXPECT_EQ(thin::deflate_init(&record, 6, Z_DEFLATED, 3, 8, Z_DEFAULT_STRATEGY), Z_STREAM_ERROR);

  EXPECT_THROW(thin::deflate_init(nullptr, 6, Z_DEFLATED, 15, 8, 0), constraint_error);
  EXPECT_THROW(thin::inflate_init(nullptr, 15), constraint_error);
}

}  // namespace
