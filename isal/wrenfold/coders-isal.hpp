/// @file
/// The ISA-L coder: a coder_interface that compresses or decompresses raw deflate, zlib and gzip
/// streams with Intel's ISA-L, a faster engine than zlib with the zlib coder's contract. A
/// client changes engines by changing the coder's type; the framings, the zlib_error failures and
/// their codes are the zlib coder's.
///
/// @code
///   isal::coder_type coder;
///   coder.deflate_init(isal::default_level, isal::header_type::GZIP);
///   auto [in_last, out_last] = coder.transcode(in, room, flush_mode::finish);
/// @endcode
///
/// Distinct coders may be used on distinct threads at once; one coder by one thread at a time.
/// ISA-L's own headers are not needed to use this one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>
#include <wrenfold/coders-zlib.hpp>
#include <wrenfold/coders.hpp>

/// What libwrenfold_isal exports; everything else in it stays hidden.
#define WRENFOLD_ISAL_API __attribute__((visibility("default")))

namespace wrenfold::coders::isal {

/// The zlib coder's framings. On compression AUTO means DEFAULT; on decompression AUTO tells
/// gzip from zlib by the first two bytes.
using zlib::header_type;

/// ISA-L's own levels: 0 is the fastest, 3 compresses best.
inline constexpr int fastest = 0, default_level = 1, best_level = 3;

/// An ISA-L compressor or decompressor, driven as zlib::coder_type is.
///
/// in_last and out_last are in the numbering of the arrays passed; first - 1 means nothing.
/// finished() is true once the whole stream is out on compression (trailer included), or in on
/// decompression (trailer checked). Decompression stops at the end of a stream and leaves any
/// bytes after it unconsumed, in every framing; re-initialise to read a following member.
///
/// Misuse (a closed coder, both arrays empty, an array longer than 4,294,967,295 bytes, a level
/// or window outside its range) is a constraint_error raised before ISA-L runs. Corrupt input is
/// a zlib::zlib_error with code DATA_ERROR and ISA-L's verdict in its message; input that ends
/// too soon, BUF_ERROR; a zlib stream that needs a preset dictionary, NEED_DICT. After any of
/// them the coder stays usable: close it or initialise it again. Every buffer ISA-L needs is
/// made at init; transcode allocates nothing.
class WRENFOLD_ISAL_API coder_type final : public coder_interface {
 public:
  coder_type() noexcept;
  ~coder_type() override;
  coder_type(const coder_type&) = delete;
  coder_type& operator=(const coder_type&) = delete;

  /// Opens (or reopens) the coder for compression: level 0..3, window_bits 8..15.
  void deflate_init(int level = default_level, header_type header = header_type::DEFAULT,
                    int window_bits = zlib::default_window_bits);

  /// Opens (or reopens) the coder for decompression: window_bits 8..15.
  void inflate_init(int window_bits = zlib::default_window_bits,
                    header_type header = header_type::DEFAULT);

  bool is_open() const override;
  transcode_result transcode(const_element_array in_data, element_array out_data,
                             flush_mode flush) override;
  /// Bytes consumed and produced since the last init, framing bytes included.
  element_count total_in() const override;
  element_count total_out() const override;
  bool finished() const override;
  void close() override;

 private:
  struct engine;                  ///< ISA-L's state and the coder's own framing
  std::unique_ptr<engine> state;  ///< null exactly when the coder is closed
};

/// Compression settings of the one-shot call, checked before ISA-L runs: level 0..3, window bits
/// 8..15; a value outside is a constraint_error naming it.
struct deflate_options {
  int level = default_level;
  int window_bits = zlib::default_window_bits;
  header_type header = header_type::DEFAULT;
};

/// One stream (with GZIP one member) holding all of data, as zlib::compress makes it.
WRENFOLD_ISAL_API std::vector<element> compress(const_element_array data,
                                                const deflate_options& options = {});

/// The whole of data decoded, as zlib::decompress does it, on ISA-L: every gzip member, zero
/// padding skipped, trailing data DATA_ERROR, truncation BUF_ERROR, output past max_output an
/// output_limit_error.
WRENFOLD_ISAL_API std::vector<element> decompress(const_element_array data,
                                                  const zlib::decompress_options& options = {});

/// Concatenated gzip members as one stream, as zlib::member_decoder reads them, on ISA-L.
class WRENFOLD_ISAL_API member_decoder final : public zlib::basic_member_decoder {
 public:
  member_decoder() noexcept;
  ~member_decoder() override;

 private:
  void open_raw(int window_bits) override;
  coder_interface& raw() override;

  coder_type inflater;  ///< raw deflate, opened afresh for each member
};

}  // namespace wrenfold::coders::isal
