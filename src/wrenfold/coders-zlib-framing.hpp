/// @file
/// What every engine that frames raw deflate itself (the ISA-L coder, the parallel compressor)
/// shares with the others: the zlib stream header as zlib writes it, the 32-bit words of the zlib
/// and gzip trailers, and the argument checks of transcode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::coders::zlib {

/// The zlib header's FLEVEL hint for a zlib level and strategy, as zlib sets it: 0 for the
/// fastest levels and the Huffman-only and RLE strategies, 1 below level 6, 2 at 6 (and the
/// default level), 3 above.
constexpr unsigned zlib_level_hint(int level, int strategy) noexcept {
  if (level == -1) level = 6;
  if (strategy >= huffman_only || level < 2) return 0;
  return level < 6 ? 1 : level == 6 ? 2 : 3;
}

/// The two-byte zlib stream header for a window of 2^window_bits bytes (8..15) and a FLEVEL hint
/// (0..3), with the check bits that make it a multiple of 31.
constexpr std::array<element, 2> zlib_stream_header(int window_bits, unsigned level_hint) noexcept {
  const auto cmf = static_cast<unsigned>(((window_bits - 8) << 4) | 8);
  unsigned flg = level_hint << 6;
  flg += 31 - (cmf * 256 + flg) % 31;
  return {static_cast<element>(cmf), static_cast<element>(flg)};
}

/// value at at[0..3], least significant byte first (the gzip trailer's order).
constexpr void put_le32(element* at, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<element>(value >> (8 * i));
}

/// value at at[0..3], most significant byte first (the zlib trailer's order).
constexpr void put_be32(element* at, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<element>(value >> (8 * (3 - i)));
}

/// The checks an engine's transcode makes before it runs, each a constraint_error: both arrays
/// empty, an array longer than the 4,294,967,295 bytes of the engines' 32-bit lengths, a flush
/// mode out of range.
inline void check_transcode_arguments(const_element_array in_data, element_array out_data,
                                      flush_mode flush) {
  constexpr std::size_t max_length = 0xFFFFFFFF;
  if (in_data.empty() && out_data.empty()) {
    throw constraint_error("transcode: input and output arrays both empty");
  }
  if (in_data.length() > max_length) {
    throw constraint_error("input array longer than 4,294,967,295 bytes");
  }
  if (out_data.length() > max_length) {
    throw constraint_error("output array longer than 4,294,967,295 bytes");
  }
  if (static_cast<std::size_t>(flush) > static_cast<std::size_t>(flush_mode::finish)) {
    throw constraint_error("flush_mode value out of range");
  }
}

}  // namespace wrenfold::coders::zlib
