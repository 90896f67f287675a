/// @file
/// Decoding gzip files as gzip -d does: every member of a file made by `cat a.gz b.gz`, pigz or
/// log rotation, in order, as one stream, with zero padding after the last member skipped and
/// anything else after it refused. Builds on the zlib coder, which decodes one member at a time.
///
/// @code
///   zlib::member_decoder decoder;
///   decoder.inflate_init();
///   coder_istreambuf gunzip(decoder, *file.rdbuf());   // every member of a .gz file
/// @endcode
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::coders::zlib {

/// One gzip member's header as read. A name or comment longer than gzip_field_limit bytes is kept
/// to its first gzip_field_limit bytes (the rest is read and dropped), so that a hostile header
/// cannot take memory without bound.
struct gzip_header {
  std::string name;  ///< without its terminating zero byte
  std::string comment;
  std::vector<element> extra;
  std::uint32_t mtime = 0;
  std::uint8_t os = 255;
  bool text = false;
};
inline constexpr std::size_t gzip_field_limit = std::size_t{64} * 1024;

/// A decompressor that reads concatenated gzip members as one stream, and a single zlib or raw
/// stream otherwise. How to drive it: as any coder (coder_interface), no_flush while more input
/// will come and finish once all of it has been handed over, until finished():
///
/// @code
///   member_decoder decoder;
///   decoder.inflate_init();                       // AUTO: gzip members, or one zlib stream
///   while (!decoder.finished()) {
///     auto [in_last, out_last] = decoder.transcode(in, out, at_end ? flush_mode::finish
///                                                                   : flush_mode::no_flush);
///     keep out[out.first() .. out_last]; in = in.slice(in_last + 1, in.last());
///   }
/// @endcode
///
/// finished() is true once the last member has ended, every byte handed over has been consumed
/// and the call had finish: a member that ends where the input ends may be followed by another in
/// the next call. Member boundaries are exact wherever they fall, with arrays of any size.
/// After a gzip member, zero bytes are padding and are skipped, as gzip and Python's gzip do; a
/// following member must start with the gzip magic bytes. Any other byte after the end of the
/// stream (after a zlib or raw stream, any byte at all) is a zlib_error with code DATA_ERROR
/// that names the input byte where the trailing data starts, counted from the start of the
/// stream. Input that ends inside a stream or member is a zlib_error with code BUF_ERROR, raised
/// by the call with finish that can make no progress. Corrupt data is DATA_ERROR, a zlib stream
/// that needs a preset dictionary NEED_DICT.
///
/// The decoder checks each member's CRC-32 and length (a zlib stream's Adler-32) itself and hands
/// the deflate data to a zlib coder; no call allocates, except that a header's name, comment
/// and extra field grow to hold what the header carries.
///
/// basic_member_decoder holds the framing logic; each engine's member_decoder supplies its raw
/// deflate decoder, so that every engine reads members the same way.
class WRENFOLD_ZLIB_API basic_member_decoder : public coder_interface {
 public:
  ~basic_member_decoder() override;
  basic_member_decoder(const basic_member_decoder&) = delete;
  basic_member_decoder& operator=(const basic_member_decoder&) = delete;

  /// Opens (or reopens) the decoder. window_bits 8..15 bounds the window a stream may use;
  /// anything else is a constraint_error. GZIP reads members only, DEFAULT one zlib stream, NONE
  /// one raw deflate stream, AUTO gzip members or one zlib stream, told by the first two bytes.
  void inflate_init(int window_bits = default_window_bits, header_type header = header_type::AUTO);

  bool is_open() const override;
  transcode_result transcode(const_element_array in_data, element_array out_data,
                             flush_mode flush) override;
  /// Every byte consumed and produced since the init, framing and padding included in total_in.
  element_count total_in() const override;
  element_count total_out() const override;
  bool finished() const override;
  void close() override;

  /// Members begun since the init, each from its first byte (a zlib or raw stream counts as one).
  element_count members() const;
  /// The header of the member being read, or of the last one; empty fields before any.
  const gzip_header& header() const;

 protected:
  basic_member_decoder() noexcept;
  /// Opens the engine's raw deflate decoder afresh, for the next member's data.
  virtual void open_raw(int window_bits) = 0;
  /// The engine's raw deflate decoder.
  virtual coder_interface& raw() = 0;

 private:
  enum class phase_type : std::uint8_t {
    detect,     ///< AUTO: the first two bytes tell gzip from zlib
    gzip_head,  ///< a gzip member's header
    zlib_head,  ///< a zlib stream's two header bytes
    body,       ///< deflate data, through the raw inflater
    trailer,    ///< the member's check value (and length)
    between,    ///< after a gzip member: padding, or the next member's magic bytes
    ended,      ///< after a zlib or raw stream: nothing more may come
  };
  enum class framing_type : std::uint8_t { raw, zlib, gzip };
  /// The parts of a gzip header after its fixed ten bytes, in the order they appear.
  enum class gzip_field : std::uint8_t { fixed, extra_length, extra, name, comment, crc, done };

  struct cursor_type;
  using step_type = bool (basic_member_decoder::*)(cursor_type&);
  static const std::array<step_type, 7> steps;  ///< indexed by phase_type

  bool step_detect(cursor_type& at);
  bool step_gzip_head(cursor_type& at);
  bool step_zlib_head(cursor_type& at);
  bool step_body(cursor_type& at);
  bool step_trailer(cursor_type& at);
  bool step_between(cursor_type& at);
  bool step_ended(cursor_type& at);

  bool stage(cursor_type& at, std::uint32_t want);
  void read_gzip_fixed();
  void read_zlib_head() const;
  void next_gzip_field();
  void begin_member(framing_type kind);
  void begin_body();
  void clear_header();
  void require_open() const;
  [[noreturn]] void fail_trailing(std::uint64_t position) const;
  [[noreturn]] void fail_truncated() const;

  bool open = false;
  bool done = false;  ///< the last call had finish and left the stream complete
  int window_bits = default_window_bits;
  header_type mode = header_type::AUTO;
  phase_type phase = phase_type::detect;
  framing_type framing = framing_type::raw;
  gzip_field field = gzip_field::fixed;
  std::uint8_t flags = 0;          ///< the gzip header's FLG byte
  std::uint64_t consumed = 0;      ///< input bytes consumed since the init
  std::uint64_t produced = 0;      ///< output bytes produced since the init
  element_count member_count = 0;  ///< members begun
  std::uint32_t check = 0;         ///< running CRC-32 (gzip) or Adler-32 (zlib) of the output
  std::uint32_t size = 0;          ///< the member's output length modulo 2^32
  std::uint32_t header_crc = 0;    ///< CRC-32 of the gzip header's bytes so far (for FHCRC)
  std::uint32_t extra_left = 0;    ///< bytes of the extra field still to read
  std::uint32_t staged_count = 0;  ///< bytes of a fixed-size part collected in staged
  std::array<element, 10> staged{};
  gzip_header current;
};

/// The zlib engine's member decoder: concatenated gzip members as one stream, as described above.
class WRENFOLD_ZLIB_API member_decoder final : public basic_member_decoder {
 public:
  member_decoder() noexcept;
  ~member_decoder() override;

 private:
  void open_raw(int window_bits) override;
  coder_interface& raw() override;

  coder_type inflater;  ///< raw deflate, opened afresh for each member
};

}  // namespace wrenfold::coders::zlib
