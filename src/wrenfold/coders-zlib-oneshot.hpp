/// @file
/// One-shot compression and decompression of a whole buffer: the everyday call when the data fits
/// in memory. Builds on the zlib coder and on member decoding, so gzip files of several members
/// decode whole.
///
/// @code
///   std::vector<element> packed = zlib::compress(text, {.level = zlib::best_speed});
///   std::vector<element> back = zlib::decompress(packed, {.max_output = 1 << 20});
/// @endcode
#pragma once

#include <cstddef>
#include <vector>
#include <wrenfold/coders-zlib-members.hpp>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::coders::zlib {

/// Compression settings. Each is checked before zlib runs: level -1..9, strategy 0..4, window bits
/// 8..15, memory level 1..9; a value outside is a constraint_error naming it. The header mode
/// chooses the framing, so zlib's negative and +16/+32 window forms are refused.
struct deflate_options {
  int level = default_compression;
  int strategy = default_strategy;
  int window_bits = default_window_bits;
  int memory_level = default_memory_level;
  header_type header = header_type::DEFAULT;
};

/// Decompression settings. max_output bounds the result: more output is an output_limit_error,
/// raised before more than max_output bytes are held.
struct decompress_options {
  header_type header = header_type::AUTO;
  int window_bits = default_window_bits;
  std::size_t max_output = std::size_t{1} << 30;  ///< 1 GiB
};

/// One stream (with GZIP one member) holding all of data. The output is sized once, up front, to
/// zlib's bound for the input plus the framing.
///
/// @code
///   auto packed = compress(text, {.level = best_compression, .header = header_type::GZIP});
/// @endcode
WRENFOLD_ZLIB_API std::vector<element> compress(const_element_array data,
                                                const deflate_options& options = {});

/// The whole of data decoded, as member_decoder reads it: with GZIP (or AUTO on gzip data) every
/// member in order, zero padding after the last skipped. Trailing data is a zlib_error with code
/// DATA_ERROR naming the byte where it starts; input that ends early (empty input included) is a
/// zlib_error with code BUF_ERROR; corrupt data DATA_ERROR.
///
/// @code
///   std::vector<element> text = decompress(packed);   // zlib or gzip, detected
/// @endcode
WRENFOLD_ZLIB_API std::vector<element> decompress(const_element_array data,
                                                  const decompress_options& options = {});

/// Refuses, with a constraint_error naming the option and its range, options that compress
/// would refuse; for engines that take deflate_options too.
WRENFOLD_ZLIB_API void check_options(const deflate_options& options);

/// zlib's bound on the compressed size of n bytes with these options, framing included: its
/// tight bound for the default window and memory level, else the larger of its conservative
/// bounds (fixed codes and stored blocks).
WRENFOLD_ZLIB_API std::size_t compressed_bound(std::size_t n, const deflate_options& options);

class basic_member_decoder;

/// The one-shot loops on any engine, for the engines' own compress and decompress: all of data
/// through an opened compressor into output reserved for `bound` bytes, or through a member
/// decoder opened here with the options.
WRENFOLD_ZLIB_API std::vector<element> compress_with(coder_interface& coder,
                                                     const_element_array data, std::size_t bound);
WRENFOLD_ZLIB_API std::vector<element> decompress_with(basic_member_decoder& decoder,
                                                       const_element_array data,
                                                       const decompress_options& options);

}  // namespace wrenfold::coders::zlib
