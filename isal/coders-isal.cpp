// The ISA-L coder: ISA-L does raw deflate only, in both directions; the coder writes and reads
// the zlib and gzip framing itself, keeps its own 64-bit totals, and works around the ways in
// which ISA-L 2.30 on its own would lose or invent data (see the notes at each step).
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>
#include <wrenfold/coders-isal.hpp>
#include <wrenfold/coders-zlib-framing.hpp>

namespace wrenfold::coders::isal {

namespace {

using zlib::put_be32;
using zlib::put_le32;
using zlib::return_code_enum;
using zlib::zlib_error;

constexpr int min_window_bits = 8, max_window_bits = 15;
constexpr std::uint64_t max_isal_length = std::numeric_limits<std::uint32_t>::max();

// Output room below this goes through the coder's own bounce buffer: given fewer than 8 bytes,
// isal_deflate completes no flush (it writes flush markers forever), and a dynamic block header
// alone may take 328 bytes.
constexpr std::uint32_t bounce_size = 4096;

// Level 1's compressed size depends on the size of its buffer, and not monotonically: the
// small buffer stays closest to zlib level 1 on text and binary records alike.
constexpr std::array<std::uint32_t, 4> level_buffer_sizes{
    ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_SMALL, ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};

// gzip header flags.
constexpr element flag_hcrc = 0x02, flag_extra = 0x04, flag_name = 0x08, flag_comment = 0x10,
                  flag_reserved = 0xE0;

void check_window(int window_bits) {
  if (window_bits < min_window_bits || window_bits > max_window_bits) {
    throw constraint_error("window_bits " + std::to_string(window_bits) + " outside 8 .. 15");
  }
}

std::size_t position(header_type header) {
  const auto index = static_cast<std::size_t>(header);
  if (index > static_cast<std::size_t>(header_type::GZIP)) {
    throw constraint_error("header_type value out of range");
  }
  return index;
}

[[noreturn]] void fail(return_code_enum code, const char* text) {
  std::string message(zlib::image(code));
  message += ": ";
  message += text;
  throw zlib_error(code, message);
}

const char* verdict(int isal_result) {
  switch (isal_result) {
    case ISAL_INVALID_BLOCK:
      return "ISA-L: invalid block";
    case ISAL_INVALID_SYMBOL:
      return "ISA-L: invalid symbol";
    case ISAL_INVALID_LOOKBACK:
      return "ISA-L: invalid distance too far back";
    default:
      return "ISA-L: invalid deflate data";
  }
}

std::uint32_t le32(const element* at) noexcept {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::uint32_t be32(const element* at) noexcept {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | at[i];
  return value;
}

}  // namespace

// Which part of the stream the coder is in; the same phases serve both directions.
enum class phase_type : std::uint8_t { header, body, trailer, done };

// How the framing bytes of the stream are read on decompression.
enum class header_stage : std::uint8_t {
  detect,   // AUTO: two bytes tell gzip from zlib
  zlib,     // the two bytes of a zlib header
  dictid,   // the four bytes of a preset dictionary's identifier
  gzip,     // the ten fixed bytes of a gzip header
  xlen,     // the length of the extra field
  extra,    // the extra field
  name,     // the zero-terminated name
  comment,  // the zero-terminated comment
  hcrc,     // the header's CRC
};

struct __attribute__((visibility("hidden"))) coder_type::engine {
  isal_zstream deflater{};
  inflate_state inflater{};
  std::vector<std::uint8_t> level_buffer;  // ISA-L's work space for levels 1..3
  std::array<element, bounce_size> bounce{};
  std::uint32_t bounce_start = 0, bounce_end = 0;  // unread output in bounce

  bool compressing = false;
  bool gzip = false;  // the framing in force: gzip, zlib, or neither (raw deflate)
  bool zlib = false;
  int window_bits = max_window_bits;
  phase_type phase = phase_type::done;
  // Framing bytes: on compression the header or trailer still to write (frame[framed ..
  // frame_end)); on decompression the bytes of the item being read.
  std::array<element, 10> frame{};
  std::uint32_t framed = 0, frame_end = 0;
  header_stage stage = header_stage::detect;
  element flags = 0;
  std::uint32_t field_left = 0;  // bytes of the extra field still to skip
  std::uint32_t header_crc = 0;  // CRC-32 of the gzip header so far
  std::uint32_t check = 0;       // CRC-32 or Adler-32 of the uncompressed data so far
  std::uint64_t data_bytes = 0;  // uncompressed bytes so far
  std::uint64_t total_in = 0, total_out = 0;
  // The gzip header and trailer bytes written: the zlib coder's total_out leaves them out, as its
  // gzip framing is not zlib's output, so this coder's does too.
  std::uint64_t gzip_framing_out = 0;
  bool flushed = false;  // a sync or full flush completed with no input since
  return_code_enum failure = return_code_enum::OK;  // the coder's verdict once corrupt input showed
  const char* failure_text = "";

  void start(bool compress, header_type header, int bits);
  void start_checksum();
  void update_checksum(const element* data, std::uint32_t length);

  // Both directions: a call's progress in bytes.
  struct cursor {
    const_element_array in;
    element_array out;
    std::uint64_t in_used = 0, out_used = 0;
    std::uint64_t in_rest() const { return in.length() - in_used; }
    std::uint64_t out_rest() const { return out.length() - out_used; }
  };

  void compress(cursor& at, flush_mode flush);
  void drain(cursor& at);
  void emit_frame(cursor& at);
  void deflate_step(cursor& at, flush_mode flush, bool& settled);
  void finish_trailer();

  void decompress(cursor& at);
  void read_header(cursor& at);
  bool header_byte(element byte);
  bool next_stage(header_stage from);
  bool check_zlib_header();
  void inflate_step(cursor& at);
  void read_trailer(cursor& at);
  [[noreturn]] void refuse(return_code_enum code, const char* text);
};

void coder_type::engine::start(bool compress, header_type header, int bits) {
  compressing = compress;
  window_bits = bits;
  gzip = header == header_type::GZIP;
  zlib = header == header_type::DEFAULT || (compress && header == header_type::AUTO);
  phase = header == header_type::NONE ? phase_type::body : phase_type::header;
  stage = header == header_type::AUTO ? header_stage::detect
          : gzip                      ? header_stage::gzip
                                      : header_stage::zlib;
  framed = frame_end = 0;
  bounce_start = bounce_end = 0;
  flags = 0;
  field_left = 0;
  header_crc = 0;
  data_bytes = 0;
  total_in = total_out = gzip_framing_out = 0;
  flushed = false;
  failure = return_code_enum::OK;
  failure_text = "";
  start_checksum();
}

void coder_type::engine::start_checksum() { check = gzip ? 0 : 1; }

void coder_type::engine::update_checksum(const element* data, std::uint32_t length) {
  data_bytes += length;
  if (length == 0) return;
  if (gzip) {
    check = crc32_gzip_refl(check, data, length);
  } else if (zlib) {
    check = isal_adler32(check, data, length);
  }
}

// ---- compression ----

// Copies what the bounce buffer and the pending framing bytes hold into the output.
void coder_type::engine::drain(cursor& at) {
  if (bounce_start != bounce_end && at.out_rest() != 0) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(bounce_end - bounce_start, at.out_rest()));
    std::memcpy(at.out.data() + at.out_used, bounce.data() + bounce_start, n);
    bounce_start += n;
    at.out_used += n;
    if (bounce_start == bounce_end) bounce_start = bounce_end = 0;
  }
}

void coder_type::engine::emit_frame(cursor& at) {
  const auto n =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(frame_end - framed, at.out_rest()));
  if (n != 0) std::memcpy(at.out.data() + at.out_used, frame.data() + framed, n);
  framed += n;
  at.out_used += n;
  if (gzip) gzip_framing_out += n;
}

void coder_type::engine::finish_trailer() {
  framed = 0;
  if (gzip) {
    put_le32(frame.data(), check);
    put_le32(frame.data() + 4, static_cast<std::uint32_t>(data_bytes));
    frame_end = 8;
  } else if (zlib) {
    put_be32(frame.data(), check);
    frame_end = 4;
  } else {
    frame_end = 0;
  }
  phase = phase_type::trailer;
}

void coder_type::engine::compress(cursor& at, flush_mode flush) {
  bool settled = false;  // ISA-L has done all it can with this call's input and flush
  for (;;) {
    drain(at);
    if (phase == phase_type::header) {
      emit_frame(at);
      if (framed != frame_end) return;
      phase = phase_type::body;
    }
    if (bounce_start != bounce_end) return;  // the output is full
    if (phase == phase_type::trailer) {
      emit_frame(at);
      if (framed == frame_end) phase = phase_type::done;
      return;
    }
    if (phase == phase_type::done || settled) return;
    if (at.out_rest() == 0 && at.in_rest() == 0) return;
    deflate_step(at, flush, settled);
  }
}

void coder_type::engine::deflate_step(cursor& at, flush_mode flush, bool& settled) {
  const bool flushing = flush == flush_mode::sync_flush || flush == flush_mode::full_flush;
  const auto in_size = static_cast<std::uint32_t>(at.in_rest());
  // isal_deflate writes another flush marker each time it is asked to flush, even with nothing
  // new to flush; zlib writes one per flush point.
  if (in_size == 0 && flushed && flush != flush_mode::finish) {
    settled = true;
    return;
  }
  const bool direct = at.out_rest() >= bounce_size;
  std::uint8_t* const out = direct ? at.out.data() + at.out_used : bounce.data();
  const auto out_size =
      direct ? static_cast<std::uint32_t>(std::min(at.out_rest(), max_isal_length)) : bounce_size;
  const element* const in = at.in.data() == nullptr ? bounce.data() : at.in.data() + at.in_used;
  deflater.next_in = const_cast<std::uint8_t*>(in);  // NOLINT: ISA-L does not write through it
  deflater.avail_in = in_size;
  deflater.next_out = out;
  deflater.avail_out = out_size;
  deflater.flush = flush == flush_mode::sync_flush   ? SYNC_FLUSH
                   : flush == flush_mode::full_flush ? FULL_FLUSH
                                                     : NO_FLUSH;
  deflater.end_of_stream = flush == flush_mode::finish ? 1 : 0;
  const int result = isal_deflate(&deflater);
  if (result != COMP_OK) fail(return_code_enum::STREAM_ERROR, "ISA-L refused to compress");
  const std::uint32_t consumed = in_size - deflater.avail_in;
  const std::uint32_t produced = out_size - deflater.avail_out;
  update_checksum(in, consumed);
  at.in_used += consumed;
  if (direct) {
    at.out_used += produced;
  } else {
    bounce_end = produced;
  }
  if (consumed != 0) flushed = false;
  if (deflater.internal_state.state == ZSTATE_END) {
    finish_trailer();
    return;
  }
  // Room left over means ISA-L has taken all the input and completed the flush.
  if (deflater.avail_out != 0) {
    settled = true;
    if (flushing && deflater.avail_in == 0) flushed = true;
  }
}

// ---- decompression ----

// The stage after `from` that the gzip header's flags call for; true when the header is done.
bool coder_type::engine::next_stage(header_stage from) {
  framed = 0;
  constexpr std::array<std::pair<header_stage, element>, 4> optional{{
      {header_stage::xlen, flag_extra},
      {header_stage::name, flag_name},
      {header_stage::comment, flag_comment},
      {header_stage::hcrc, flag_hcrc},
  }};
  for (const auto& [candidate, flag] : optional) {
    if (candidate > from && (flags & flag) != 0) {
      stage = candidate;
      return false;
    }
  }
  return true;
}

// The zlib header in frame[0..1]; true when it is complete, false when a dictionary's identifier
// follows.
bool coder_type::engine::check_zlib_header() {
  const unsigned cmf = frame[0];
  const unsigned flg = frame[1];
  if ((cmf * 256 + flg) % 31 != 0) refuse(return_code_enum::DATA_ERROR, "incorrect header check");
  if ((cmf & 0x0F) != 8) refuse(return_code_enum::DATA_ERROR, "unknown compression method");
  if (static_cast<int>(cmf >> 4) + 8 > window_bits) {
    refuse(return_code_enum::DATA_ERROR, "invalid window size");
  }
  if ((flg & 0x20) == 0) return true;
  stage = header_stage::dictid;
  framed = 0;
  return false;
}

// One byte of a zlib or gzip header; true once the header is complete.
bool coder_type::engine::header_byte(element byte) {
  if (stage != header_stage::hcrc) header_crc = crc32_gzip_refl(header_crc, &byte, 1);
  switch (stage) {
    case header_stage::detect:
      frame[framed++] = byte;
      if (framed < 2) return false;
      gzip = frame[0] == 0x1F && frame[1] == 0x8B;
      zlib = !gzip;
      start_checksum();
      if (zlib) return check_zlib_header();
      stage = header_stage::gzip;
      return false;
    case header_stage::zlib:
      frame[framed++] = byte;
      if (framed < 2) return false;
      return check_zlib_header();
    case header_stage::dictid:
      // zlib reads the dictionary's identifier before it asks for the dictionary; this coder has
      // none to offer.
      if (++framed == 4) refuse(return_code_enum::NEED_DICT, "a preset dictionary is required");
      return false;
    case header_stage::gzip:
      // Judged at the bytes where zlib judges them: the magic once both bytes are in, the
      // method and the flags together, so that a header cut short is truncated to both engines.
      frame[framed++] = byte;
      if (framed == 2 && (frame[0] != 0x1F || frame[1] != 0x8B)) {
        refuse(return_code_enum::DATA_ERROR, "incorrect header check");
      }
      if (framed == 4) {
        if (frame[2] != 8) refuse(return_code_enum::DATA_ERROR, "unknown compression method");
        if ((byte & flag_reserved) != 0) {
          refuse(return_code_enum::DATA_ERROR, "unknown header flags set");
        }
        flags = byte;
      }
      return framed == 10 && next_stage(header_stage::gzip);
    case header_stage::xlen:
      frame[framed++] = byte;
      if (framed < 2) return false;
      field_left = frame[0] | (std::uint32_t{frame[1]} << 8);
      stage = header_stage::extra;
      return field_left == 0 && next_stage(header_stage::extra);
    case header_stage::extra:
      return --field_left == 0 && next_stage(header_stage::extra);
    case header_stage::name:
    case header_stage::comment:
      return byte == 0 && next_stage(stage);
    case header_stage::hcrc:
      frame[framed++] = byte;
      if (framed < 2) return false;
      if ((frame[0] | (std::uint32_t{frame[1]} << 8)) != (header_crc & 0xFFFF)) {
        refuse(return_code_enum::DATA_ERROR, "header crc mismatch");
      }
      return true;
  }
  return false;
}

void coder_type::engine::read_header(cursor& at) {
  while (at.in_rest() != 0) {
    const element byte = at.in.data()[at.in_used++];
    if (header_byte(byte)) {
      phase = phase_type::body;
      return;
    }
  }
}

// One isal_inflate call on raw deflate data, and the bytes its bit buffer holds beyond what the
// stream has used given back to the caller.
void coder_type::engine::inflate_step(cursor& at) {
  const auto in_size = static_cast<std::uint32_t>(at.in_rest());
  const auto out_size = static_cast<std::uint32_t>(at.out_rest());
  std::uint8_t* const out = out_size == 0 ? bounce.data() : at.out.data() + at.out_used;
  const element* const in = in_size == 0 ? bounce.data() : at.in.data() + at.in_used;
  inflater.next_in = const_cast<std::uint8_t*>(in);  // NOLINT: ISA-L does not write through it
  inflater.avail_in = in_size;
  inflater.next_out = out;
  inflater.avail_out = out_size;
  // ISA-L's 32-bit count of the output bounds its distances: kept from wrapping past 4 GiB, where
  // it would refuse distances into the output it has written.
  constexpr std::uint32_t far_enough = std::uint32_t{1} << 30;
  inflater.total_out = static_cast<std::uint32_t>(std::min<std::uint64_t>(data_bytes, far_enough));
  const int result = isal_inflate(&inflater);
  if (result < 0) refuse(return_code_enum::DATA_ERROR, verdict(result));
  std::uint32_t consumed = in_size - inflater.avail_in;
  const std::uint32_t produced = out_size - inflater.avail_out;
  const bool input_done =
      inflater.block_state == ISAL_BLOCK_INPUT_DONE || inflater.block_state == ISAL_BLOCK_FINISH;
  // isal_inflate loads up to 8 bytes ahead into its bit buffer, past the end of the stream too.
  // Whole bytes there that the stream has not used go back to the caller at every call: by the
  // end of the stream the caller must still hold them. They are kept only while nothing else
  // came of the call (ISA-L needs more bits for its next symbol), one byte at least, so that the
  // call still makes progress; and never while ISA-L holds later bytes of a block header apart.
  if (inflater.read_in_length >= 8 && inflater.tmp_in_size == 0) {
    std::uint32_t back =
        std::min(static_cast<std::uint32_t>(inflater.read_in_length) / 8, consumed);
    if (!input_done && produced == 0) back = std::min(back, consumed == 0 ? 0 : consumed - 1);
    if (back != 0) {
      inflater.read_in_length -= static_cast<std::int32_t>(8 * back);
      const auto kept = static_cast<unsigned>(inflater.read_in_length);
      inflater.read_in &= kept == 0 ? 0 : (~std::uint64_t{0} >> (64 - kept));
      inflater.next_in -= back;
      inflater.avail_in += back;
      consumed -= back;
    }
  }
  at.in_used += consumed;
  at.out_used += produced;
  update_checksum(out, produced);
  if (inflater.block_state == ISAL_BLOCK_FINISH) {
    phase = gzip || zlib ? phase_type::trailer : phase_type::done;
    framed = 0;
  }
}

void coder_type::engine::read_trailer(cursor& at) {
  const std::uint32_t size = gzip ? 8 : 4;
  while (framed < size && at.in_rest() != 0) frame[framed++] = at.in.data()[at.in_used++];
  // As zlib, a gzip member's CRC is judged as soon as its 4 bytes are in.
  if (gzip && framed >= 4 && le32(frame.data()) != check) {
    refuse(return_code_enum::DATA_ERROR, "incorrect data check");
  }
  if (framed < size) return;
  if (gzip) {
    if (le32(frame.data() + 4) != static_cast<std::uint32_t>(data_bytes)) {
      refuse(return_code_enum::DATA_ERROR, "incorrect length check");
    }
  } else if (be32(frame.data()) != check) {
    refuse(return_code_enum::DATA_ERROR, "incorrect data check");
  }
  phase = phase_type::done;
}

void coder_type::engine::decompress(cursor& at) {
  if (phase == phase_type::header) read_header(at);
  if (phase == phase_type::body) inflate_step(at);
  if (phase == phase_type::trailer) read_trailer(at);
}

// A verdict on the stream that stands until the next init: every later call repeats it.
void coder_type::engine::refuse(return_code_enum code, const char* text) {
  failure = code;
  failure_text = text;
  fail(code, text);
}

// ---- the coder ----

coder_type::coder_type() noexcept = default;

coder_type::~coder_type() = default;

void coder_type::deflate_init(int level, header_type header, int window_bits) {
  position(header);
  if (level < fastest || level > best_level) {
    throw constraint_error("level " + std::to_string(level) + " outside 0 .. 3");
  }
  check_window(window_bits);
  if (!state) state = std::make_unique<engine>();
  engine& e = *state;
  const std::uint32_t buffer_size = level_buffer_sizes[static_cast<std::size_t>(level)];
  if (e.level_buffer.size() < buffer_size) e.level_buffer.resize(buffer_size);
  isal_deflate_init(&e.deflater);
  e.deflater.level = static_cast<std::uint32_t>(level);
  e.deflater.level_buf = buffer_size == 0 ? nullptr : e.level_buffer.data();
  e.deflater.level_buf_size = buffer_size;
  e.deflater.hist_bits = static_cast<std::uint16_t>(window_bits);
  e.deflater.gzip_flag = IGZIP_DEFLATE;
  e.start(true, header, window_bits);
  if (e.gzip) {
    std::copy(zlib::simple_gzip_header.begin(), zlib::simple_gzip_header.end(), e.frame.begin());
    e.frame_end = 10;
  } else if (e.zlib) {
    // zlib's inflate refuses a header whose window is larger than its own: the header says the
    // window the data was made with. ISA-L's own writes 78 01 whatever the window.
    constexpr std::array<unsigned, 4> level_hints{0, 1, 1, 2};
    const auto header_bytes =
        zlib::zlib_stream_header(window_bits, level_hints[static_cast<std::size_t>(level)]);
    std::copy(header_bytes.begin(), header_bytes.end(), e.frame.begin());
    e.frame_end = 2;
  }
}

void coder_type::inflate_init(int window_bits, header_type header) {
  position(header);
  check_window(window_bits);
  if (!state) state = std::make_unique<engine>();
  engine& e = *state;
  isal_inflate_init(&e.inflater);
  e.inflater.crc_flag = ISAL_DEFLATE;
  e.inflater.hist_bits = static_cast<std::uint32_t>(window_bits);
  e.start(false, header, window_bits);
}

bool coder_type::is_open() const { return state != nullptr; }

transcode_result coder_type::transcode(const_element_array in_data, element_array out_data,
                                       flush_mode flush) {
  if (!state) throw constraint_error("coder is closed");
  zlib::check_transcode_arguments(in_data, out_data, flush);
  engine& e = *state;
  if (e.failure != return_code_enum::OK) fail(e.failure, e.failure_text);
  engine::cursor at{in_data, out_data};
  if (e.phase != phase_type::done) {
    if (e.compressing) {
      e.compress(at, flush);
    } else {
      e.decompress(at);
    }
  }
  e.total_in += at.in_used;
  e.total_out += at.out_used;
  if (!e.compressing && at.in_used == 0 && at.out_used == 0 && e.phase != phase_type::done) {
    // As the zlib coder: a decompression call without progress fails as input that ends too
    // soon, except a flush with no new input on a stream that has seen input. (Compression
    // cannot run short of input: a call with nothing to do there just does nothing.)
    const bool idle_flush = flush != flush_mode::no_flush && in_data.empty() && e.total_in != 0 &&
                            flush != flush_mode::finish;
    if (!idle_flush) {
      fail(return_code_enum::BUF_ERROR, "ISA-L: input ends before the stream does");
    }
  }
  return {in_data.first() - 1 + static_cast<element_index>(at.in_used),
          out_data.first() - 1 + static_cast<element_index>(at.out_used)};
}

element_count coder_type::total_in() const {
  if (!state) throw constraint_error("coder is closed");
  return static_cast<element_count>(state->total_in);
}

element_count coder_type::total_out() const {
  if (!state) throw constraint_error("coder is closed");
  return static_cast<element_count>(state->total_out - state->gzip_framing_out);
}

bool coder_type::finished() const { return state && state->phase == phase_type::done; }

void coder_type::close() { state.reset(); }

}  // namespace wrenfold::coders::isal
