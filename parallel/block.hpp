// A block of the parallel compressor's stream, and the checksums of its framings. The caller's
// thread fills a block's input and dictionary, a worker compresses it, and the caller's thread
// returns its output: the pool's lock hands it from one to the other.
#pragma once

#include <zlib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::coders::zlib::parallel {

struct block_type {
  std::vector<element> input;       // block_size bytes of room
  std::size_t input_size = 0;       // bytes filled
  std::vector<element> dictionary;  // the window's worth of input before the block
  std::size_t dictionary_size = 0;
  std::vector<element> output;   // room for the block's bound; grown on a worker if ever short
  std::size_t output_size = 0;   // bytes the worker wrote
  std::size_t output_taken = 0;  // bytes returned to the caller
  bool last = false;             // ends the stream (finish) instead of a sync flush
  std::uint32_t check = 0;       // the checksum of the input, from the framing's initial value
  return_code_enum failure = return_code_enum::OK;
  std::string message;  // the failure's text; written only on failure
};

// A framing's checksum of the uncompressed data, computed per block on the workers and combined
// in order on the caller's thread. Raw deflate has none (update is null).
struct checksum_type {
  std::uint32_t initial;
  std::uint32_t (*update)(std::uint32_t check, const element* data, std::size_t length);
  std::uint32_t (*combine)(std::uint32_t first, std::uint32_t second, std::size_t second_length);
};

inline constexpr checksum_type no_checksum{0, nullptr, nullptr};
inline constexpr checksum_type adler32_checksum{
    1,
    [](std::uint32_t check, const element* data, std::size_t length) {
      return static_cast<std::uint32_t>(::adler32(check, data, static_cast<uInt>(length)));
    },
    [](std::uint32_t first, std::uint32_t second, std::size_t second_length) {
      return static_cast<std::uint32_t>(
          ::adler32_combine(first, second, static_cast<z_off_t>(second_length)));
    }};
inline constexpr checksum_type crc32_checksum{
    0,
    [](std::uint32_t check, const element* data, std::size_t length) {
      return static_cast<std::uint32_t>(::crc32(check, data, static_cast<uInt>(length)));
    },
    [](std::uint32_t first, std::uint32_t second, std::size_t second_length) {
      return static_cast<std::uint32_t>(
          ::crc32_combine(first, second, static_cast<z_off_t>(second_length)));
    }};

// By header_type position: NONE, AUTO (zlib on compression), DEFAULT, GZIP.
inline constexpr std::array<const checksum_type*, 4> framing_checksums{
    &no_checksum, &adler32_checksum, &adler32_checksum, &crc32_checksum};

}  // namespace wrenfold::coders::zlib::parallel
