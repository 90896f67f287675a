/// @file
/// The zlib coder: a coder_interface that compresses or decompresses raw deflate, zlib and gzip
/// streams with the system zlib, its vocabulary (tuning constants, header modes, result codes,
/// the fixed tables), the zlib_error exception, and the crc32 and version queries. It also
/// brings the layers built on the coder: the one-shot calls and member decoding.
///
/// @code
///   auto packed = zlib::compress(text, {.header = zlib::header_type::GZIP});
///   auto back = zlib::decompress(packed);
/// @endcode
///
/// Distinct coders may be used on distinct threads at once; one coder by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <wrenfold/coders-zlib-thin.hpp>
#include <wrenfold/coders.hpp>
#include <wrenfold/version.hpp>

namespace wrenfold::coders::zlib {

/// Tuning constants for deflate_init; they carry zlib's own values and reach zlib unchanged.
inline constexpr int no_compression = 0, best_speed = 1, best_compression = 9,
                     default_compression = -1;
inline constexpr int default_strategy = 0, filtered = 1, huffman_only = 2, rle = 3;
inline constexpr int deflated = 8, default_window_bits = 15, default_memory_level = 8;

/// Framing of a stream. On compression AUTO means DEFAULT; on decompression AUTO detects zlib or
/// gzip framing. GZIP compression is written as raw deflate inside a gzip member that the coder
/// frames itself.
enum class header_type { NONE, AUTO, DEFAULT, GZIP };

/// zlib's result codes, in the order of return_code's domain from 0 downwards.
enum class return_code_enum {
  OK,
  STREAM_END,
  NEED_DICT,
  ERRNO,
  STREAM_ERROR,
  DATA_ERROR,
  MEM_ERROR,
  BUF_ERROR,
  VERSION_ERROR
};

/// Upper-case names, as messages print them ("GZIP", "BUF_ERROR"). A value outside the
/// enumeration is a constraint_error.
WRENFOLD_ZLIB_API std::string_view image(header_type header);
WRENFOLD_ZLIB_API std::string_view image(return_code_enum code);

inline std::ostream& operator<<(std::ostream& out, header_type header) {
  return out << image(header);
}
inline std::ostream& operator<<(std::ostream& out, return_code_enum code) {
  return out << image(code);
}

/// zlib's integer result (-6 .. 2) as a return_code_enum; anything else is a constraint_error.
WRENFOLD_ZLIB_API return_code_enum return_code(int zlib_result);

/// zlib's flush argument for each flush_mode position: sync_flush is Z_SYNC_FLUSH (2), not 1.
inline constexpr std::array<int, 4> flush_to_c{Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_FINISH};

/// zlib's processing and ending entry points of one direction; flate[compressing] selects them.
struct flate_type {
  int (*process)(z_streamp, int);
  int (*release)(z_streamp);
};
WRENFOLD_ZLIB_API extern const std::array<flate_type, 2> flate;  // [0] inflate, [1] deflate

/// The gzip member header written on GZIP compression: deflate, no flags, no time, Unix.
WRENFOLD_ZLIB_API extern const std::array<element, 10> simple_gzip_header;

/// Every failure that zlib reports, and the version gate of inflate_init. The message is the
/// result code's image, ": " and zlib's text for a failing transcode; zlib's text alone for a
/// failing init. code() is what a program decides on: the judged result of a failing step
/// (DATA_ERROR for corrupt input, BUF_ERROR for input that ends too soon), zlib's result for a
/// refused init, VERSION_ERROR for the version gate. Built from a message alone it is ERRNO.
class WRENFOLD_ZLIB_API zlib_error : public std::runtime_error {
 public:
  explicit zlib_error(const std::string& message) : zlib_error(return_code_enum::ERRNO, message) {}
  explicit zlib_error(const char* message) : zlib_error(return_code_enum::ERRNO, message) {}
  zlib_error(return_code_enum code, const std::string& message)
      : std::runtime_error(message), code_(code) {}

  return_code_enum code() const noexcept { return code_; }

 private:
  return_code_enum code_;
};

using z_stream_access = std::unique_ptr<thin::z_stream>;

/// A zlib compressor or decompressor. How to drive it:
///
/// @code
///   coder_type coder;
///   coder.deflate_init(best_speed, default_strategy, deflated, default_window_bits,
///                      default_memory_level, header_type::GZIP);    // or inflate_init(...)
///   while (!coder.finished()) {
///     auto [in_last, out_last] = coder.transcode(in, out, more_input ? flush_mode::no_flush
///                                                                    : flush_mode::finish);
///     keep out[out.first() .. out_last]; in = in.slice(in_last + 1, in.last());
///   }
///   coder.close();
/// @endcode
///
/// in_last and out_last are in the numbering of the arrays passed; first - 1 means nothing.
/// Output room runs out before input does: call again with fresh room and the rest of the input.
/// finished() is true once the stream is complete, for GZIP compression once the trailer has
/// been written whole. Decompression stops at the end of a stream and leaves any bytes after it
/// unconsumed; re-initialise to read a following member.
///
/// Misuse (a closed coder, both arrays empty, an array longer than 4,294,967,295 bytes) is a
/// constraint_error raised before zlib runs. zlib's refusals are zlib_error. After either the
/// coder stays usable: close it or initialise it again.
class WRENFOLD_ZLIB_API coder_type final : public coder_interface {
 public:
  coder_type() noexcept;
  ~coder_type() override;
  coder_type(const coder_type&) = delete;
  coder_type& operator=(const coder_type&) = delete;

  /// Opens (or reopens) the coder for compression. Note the order: strategy comes second.
  /// Nothing is range-checked here; zlib's refusal is a zlib_error, and the coder stays open.
  void deflate_init(int level = default_compression, int strategy = default_strategy,
                    int method = deflated, int window_bits = default_window_bits,
                    int memory_level = default_memory_level,
                    header_type header = header_type::DEFAULT);

  /// Opens (or reopens) the coder for decompression.
  void inflate_init(int window_bits = default_window_bits,
                    header_type header = header_type::DEFAULT);

  bool is_open() const override;
  transcode_result transcode(const_element_array in_data, element_array out_data,
                             flush_mode flush) override;
  /// What zlib consumed and produced since the last init; GZIP framing bytes are not counted.
  element_count total_in() const override;
  element_count total_out() const override;
  bool finished() const override;
  void close() override;

 private:
  static constexpr element_index header_complete = 11;
  static constexpr element_index trailer_complete = 9;

  bool framing_member() const noexcept { return compressing && header == header_type::GZIP; }
  void extend_crc(const_element_array in_data, element_index in_last) noexcept;

  /// transcode's out-of-line parts: every call the inline fast path does not take, and the
  /// verdict on every zlib result other than OK from the fast path.
  transcode_result transcode_general(const_element_array in_data, element_array out_data,
                                     flush_mode flush);
  transcode_result settle(int code, const_element_array in_data, element_array out_data,
                          flush_mode flush);
  transcode_result run_step(const_element_array in_data, element_array out_data, flush_mode flush);
  transcode_result judge(int code, const_element_array in_data, element_array out_data,
                         flush_mode flush);
  transcode_result run_gzip_step(const_element_array in_data, element_array out_data,
                                 flush_mode flush);
  transcode_result close_member_step(const_element_array in_data, element_array out_data,
                                     transcode_result step);
  transcode_result emit_trailer(element_index in_last, element_array out_data,
                                element_index out_last);
  void open_stream();
  thin::z_stream& open_record() const;

  z_stream_access stream;     ///< null exactly when the coder is closed
  bool compressing = false;   ///< selects flate[compressing] for every zlib call
  bool stream_ended = false;  ///< zlib reported the end of the stream; cleared by each init
  header_type header = header_type::DEFAULT;  ///< of the most recent init
  std::uint32_t crc = 0;  ///< CRC-32 of the input zlib consumed, on GZIP compression
  /// 1-based position of the next gzip framing byte to write: 1..10 in the header, 11 once the
  /// header is complete, then 1..8 in the trailer and 9 once the member is complete.
  element_index offset = 11;
};

/// The common call is inline, so that a client calling through coder_type pays no more per call
/// than it would calling zlib itself: an open stream, lengths zlib can take whole, output room, a
/// valid flush, and no gzip framing bytes due. zlib's OK needs no judgement; every other result,
/// and every other call, goes out of line. (An empty input may have no address here: zlib takes
/// a null one with length 0. Output room always has one.)
inline transcode_result coder_type::transcode(const_element_array in_data, element_array out_data,
                                              flush_mode flush) {
  constexpr std::size_t zlib_max = 0xFFFFFFFF;
  thin::z_stream* const record = stream.get();
  const auto flush_index = static_cast<std::size_t>(flush);
  const bool member = framing_member();
  if (record != nullptr && (!member || (offset == header_complete && !stream_ended)) &&
      in_data.length() <= zlib_max && out_data.length() - 1 < zlib_max &&
      flush_index < flush_to_c.size()) [[likely]] {
    thin::set_in(*record, in_data.data(), static_cast<std::uint32_t>(in_data.length()));
    thin::set_out(*record, out_data.data(), static_cast<std::uint32_t>(out_data.length()));
    const int code = flate[compressing].process(record, flush_to_c[flush_index]);
    if (code != Z_OK) [[unlikely]] {
      return settle(code, in_data, out_data, flush);
    }
    const element_index in_last = in_data.last() - thin::avail_in(*record);
    if (member) extend_crc(in_data, in_last);
    return {in_last, out_data.last() - thin::avail_out(*record)};
  }
  return transcode_general(in_data, out_data, flush);
}

/// The CRC covers exactly the input zlib consumed.
inline void coder_type::extend_crc(const_element_array in_data, element_index in_last) noexcept {
  const auto consumed = static_cast<std::uint32_t>(in_last - in_data.first() + 1);
  if (consumed != 0) crc = static_cast<std::uint32_t>(::crc32(crc, in_data.data(), consumed));
}

/// A gzip member is finished once its trailer is out, not when zlib's deflate data ends.
inline bool coder_type::finished() const {
  return stream_ended && (!framing_member() || offset == trailer_complete);
}

/// CRC-32 (as gzip uses) of data, continued from crc; start a new checksum with 0.
WRENFOLD_ZLIB_API std::uint32_t crc32(std::uint32_t crc, const_element_array data);

/// The version text of the zlib in use, asked of zlib at the time of the call.
WRENFOLD_ZLIB_API std::string version();

}  // namespace wrenfold::coders::zlib

// The layers above the coder come with it: one-shot calls and member decoding.
#include <wrenfold/coders-zlib-members.hpp>
#include <wrenfold/coders-zlib-oneshot.hpp>
