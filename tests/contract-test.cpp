// Element arrays: numbering, slices and the limits that keep every reported index representable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include <wrenfold/coders.hpp>

namespace {

using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::element_index;

TEST(element_array_test, carries_its_own_numbering) {
  std::array<element, 5> bytes{10, 11, 12, 13, 14};
  const element_array a(bytes.data(), bytes.size(), -3);
  EXPECT_EQ(a.first(), -3);
  EXPECT_EQ(a.last(), 1);
  EXPECT_EQ(a.length(), 5u);
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a[-3], 10);
  EXPECT_EQ(a[1], 14);
  a[0] = 99;
  EXPECT_EQ(bytes[3], 99);

  const element_array from_span(std::span<element>(bytes), 1000);
  EXPECT_EQ(from_span.last(), 1004);
  const const_element_array read_only = from_span;  // element_array converts to const
  EXPECT_EQ(read_only.first(), 1000);
  EXPECT_EQ(read_only[1003], 99);
  EXPECT_FALSE((std::is_convertible_v<const_element_array, element_array>));

  // Containers view directly; a const container only as a const array.
  std::vector<element> vector(7);
  const element_array from_vector = vector;
  EXPECT_EQ(from_vector.data(), vector.data());
  EXPECT_EQ(from_vector.last(), 6);
  const std::vector<element>& const_vector = vector;
  EXPECT_EQ(const_element_array(const_vector, 3).last(), 9);
  EXPECT_FALSE((std::is_convertible_v<const std::vector<element>&, element_array>));
}

// The byte buffers a program already has pass without a cast; constness is kept.
TEST(element_array_test, views_byte_like_ranges) {
  std::string text = "hello";
  const std::string_view view = "const text";
  std::vector<char> chars(4);
  std::array<std::byte, 3> raw{};
  std::vector<signed char> signed_chars(2);
  const element_array from_string = text;
  from_string[0] = 'j';
  EXPECT_EQ(text, "jello");
  EXPECT_EQ(const_element_array(view, 10).last(), 19);
  EXPECT_EQ(element_array(chars).length(), 4u);
  EXPECT_EQ(element_array(std::span<std::byte>(raw)).data(),
            reinterpret_cast<element*>(raw.data()));
  EXPECT_EQ(const_element_array(signed_chars).length(), 2u);

  EXPECT_FALSE((std::is_constructible_v<element_array, std::string_view>));
  EXPECT_FALSE((std::is_constructible_v<element_array, const std::string&>));
  EXPECT_FALSE((std::is_constructible_v<element_array, std::span<const std::byte>>));
  EXPECT_TRUE((std::is_constructible_v<const_element_array, std::span<const std::byte>>));
  EXPECT_FALSE((std::is_constructible_v<const_element_array, std::vector<int>&>));
}

TEST(element_array_test, empty_array_ends_before_it_starts) {
  const element_array none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.first(), 0);
  EXPECT_EQ(none.last(), -1);
  const const_element_array numbered(nullptr, 0, 42);
  EXPECT_EQ(numbered.last(), 41);
}

TEST(element_array_test, slices_keep_the_numbering) {
  std::array<element, 10> bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const element_array a(bytes.data(), bytes.size(), 100);
  const auto middle = a.slice(103, 106);
  EXPECT_EQ(middle.first(), 103);
  EXPECT_EQ(middle.last(), 106);
  EXPECT_EQ(middle[103], 3);
  EXPECT_EQ(middle.data(), bytes.data() + 3);

  const auto rest = a.slice(109, 109);
  EXPECT_EQ(rest.length(), 1u);
  for (element_index from : {100, 105, 110}) {  // from == to + 1: empty, anywhere in bounds
    SCOPED_TRACE(from);
    const auto empty = a.slice(from, from - 1);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.first(), from);
  }
}

TEST(element_array_test, refuses_slices_outside_the_array) {
  std::array<element, 10> bytes{};
  const element_array a(bytes.data(), bytes.size(), 100);
  const std::pair<element_index, element_index> bad[] = {
      {99, 105}, {100, 110}, {111, 110}, {105, 103}, {INT64_MIN, 100}, {100, INT64_MAX},
  };
  for (const auto& [from, to] : bad) {
    SCOPED_TRACE(testing::Message() << from << " .. " << to);
    EXPECT_THROW((void)a.slice(from, to), constraint_error);
  }
}

TEST(element_array_test, refuses_numbering_that_cannot_report_its_ends) {
  element byte = 0;
  EXPECT_THROW(element_array(&byte, 1, INT64_MIN), constraint_error);
  EXPECT_THROW(element_array(&byte, 2, INT64_MAX), constraint_error);
  EXPECT_THROW(const_element_array(nullptr, 0, INT64_MIN), constraint_error);
  EXPECT_THROW(element_array(nullptr, 64), constraint_error);  // no bytes to read or write

  const element_array at_top(&byte, 1, INT64_MAX);
  EXPECT_EQ(at_top.last(), INT64_MAX);
  const element_array near_bottom(&byte, 1, INT64_MIN + 1);
  EXPECT_EQ(near_bottom.last(), INT64_MIN + 1);
  // Lengths are checked arithmetically; nothing is touched.
  EXPECT_THROW(element_array(&byte, std::size_t{1} << 63, 2), constraint_error);
  EXPECT_NO_THROW(element_array(&byte, std::size_t{1} << 63, 0));
}

}  // namespace
