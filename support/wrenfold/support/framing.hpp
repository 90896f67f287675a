// Framing bytes that tests, fuzzers and the bomb driver write by hand: little-endian fields as
// gzip stores them, and a gzip member's trailer.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>
#include <wrenfold/coders.hpp>

namespace wrenfold::support {

// Appends the low `count` bytes of value, least significant first.
inline void put_le(std::vector<coders::element>& out, std::uint32_t value, int count = 4) {
  for (int i = 0; i < count; ++i) out.push_back(static_cast<coders::element>(value >> (8 * i)));
}

// A gzip member's trailer for data: its CRC-32, then its length modulo 2^32.
inline std::vector<coders::element> gzip_trailer(std::uint32_t crc, std::uint64_t size) {
  std::vector<coders::element> trailer;
  put_le(trailer, crc);
  put_le(trailer, static_cast<std::uint32_t>(size));
  return trailer;
}

inline std::vector<coders::element> gzip_trailer(std::span<const coders::element> data) {
  return gzip_trailer(
      static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))),
      data.size());
}

}  // namespace wrenfold::support
