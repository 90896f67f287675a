// Member decoding: gzip and zlib framing read byte by byte around an engine's raw inflater,
// every member's check value and length verified here, zero padding skipped and trailing data
// refused. Reading the framing here keeps every member boundary exact whatever the call sizes.
#include <algorithm>
#include <cstring>
#include <limits>
#include <wrenfold/coders-zlib-members.hpp>

namespace wrenfold::coders::zlib {

namespace {

constexpr element gzip_magic[2]{0x1F, 0x8B};
constexpr std::uint8_t ftext = 1, fhcrc = 2, fextra = 4, fname = 8, fcomment = 16;
constexpr std::uint8_t freserved = 0xE0;
constexpr std::uint8_t zlib_fdict = 0x20;
constexpr std::size_t max_zlib_length = std::numeric_limits<std::uint32_t>::max();

// Which flag announces each optional part of a gzip header, in header order.
struct optional_part {
  std::uint8_t flag;
  int field;  // position in gzip_field
};
constexpr optional_part optional_parts[]{{fextra, 1}, {fname, 3}, {fcomment, 4}, {fhcrc, 5}};
constexpr int field_done = 6;

// The check value each framing keeps over its output, and the value it starts from.
struct check_type {
  uLong (*update)(uLong, const Bytef*, uInt);
  std::uint32_t start;
  std::uint32_t trailer_size;
};
uLong no_check(uLong value, const Bytef*, uInt) { return value; }
constexpr std::array<check_type, 3> checks{{
    {no_check, 0, 0},   // raw: nothing after the deflate data
    {::adler32, 1, 4},  // zlib: Adler-32, big-endian
    {::crc32, 0, 8},    // gzip: CRC-32 and length, little-endian
}};

std::uint32_t load_le32(const element* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
std::uint32_t load_be32(const element* p) {
  return std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 | std::uint32_t{p[1]} << 16 |
         std::uint32_t{p[0]} << 24;
}

std::uint32_t extend(std::uint32_t value, uLong (*update)(uLong, const Bytef*, uInt),
                     const element* data, std::size_t length) {
  return static_cast<std::uint32_t>(update(value, data, static_cast<uInt>(length)));
}

[[noreturn]] void fail_data(const char* what) {
  throw zlib_error(return_code_enum::DATA_ERROR, std::string("DATA_ERROR: ") + what);
}

}  // namespace

// The caller's two arrays and how much of each this call has used.
struct basic_member_decoder::cursor_type {
  const element* in = nullptr;
  std::size_t in_size = 0;
  element* out = nullptr;
  std::size_t out_size = 0;
  std::size_t in_used = 0;
  std::size_t out_used = 0;

  std::size_t in_left() const { return in_size - in_used; }
  std::size_t out_left() const { return out_size - out_used; }
  const element* in_next() const { return in + in_used; }
};

const std::array<basic_member_decoder::step_type, 7> basic_member_decoder::steps{
    &basic_member_decoder::step_detect,    &basic_member_decoder::step_gzip_head,
    &basic_member_decoder::step_zlib_head, &basic_member_decoder::step_body,
    &basic_member_decoder::step_trailer,   &basic_member_decoder::step_between,
    &basic_member_decoder::step_ended};

basic_member_decoder::basic_member_decoder() noexcept = default;

basic_member_decoder::~basic_member_decoder() = default;

member_decoder::member_decoder() noexcept = default;

member_decoder::~member_decoder() = default;

void member_decoder::open_raw(int window) { inflater.inflate_init(window, header_type::NONE); }

coder_interface& member_decoder::raw() { return inflater; }

void basic_member_decoder::inflate_init(int window, header_type header) {
  if (window < 8 || window > 15) {
    throw constraint_error("window_bits " + std::to_string(window) +
                           " outside 8..15 (the header mode chooses the framing; zlib's negative "
                           "and +16/+32 forms are not taken)");
  }
  (void)image(header);  // refuses a value outside the enumeration
  open = true;
  done = false;
  window_bits = window;
  mode = header;
  consumed = 0;
  produced = 0;
  member_count = 0;
  clear_header();
  staged_count = 0;
  switch (header) {
    case header_type::AUTO:
      phase = phase_type::detect;
      break;
    case header_type::GZIP:
      begin_member(framing_type::gzip);
      break;
    case header_type::DEFAULT:
      begin_member(framing_type::zlib);
      break;
    case header_type::NONE:
      begin_member(framing_type::raw);
      begin_body();
      break;
  }
}

bool basic_member_decoder::is_open() const { return open; }

void basic_member_decoder::require_open() const {
  if (!open) throw constraint_error("member_decoder is closed");
}

element_count basic_member_decoder::total_in() const {
  require_open();
  return static_cast<element_count>(consumed);
}

element_count basic_member_decoder::total_out() const {
  require_open();
  return static_cast<element_count>(produced);
}

bool basic_member_decoder::finished() const { return done; }

void basic_member_decoder::close() {
  raw().close();
  open = false;
}

element_count basic_member_decoder::members() const { return member_count; }

const gzip_header& basic_member_decoder::header() const { return current; }

transcode_result basic_member_decoder::transcode(const_element_array in_data,
                                                 element_array out_data, flush_mode flush) {
  if (in_data.empty() && out_data.empty()) {
    throw constraint_error("transcode: input and output arrays both empty");
  }
  require_open();
  if (static_cast<std::size_t>(flush) > static_cast<std::size_t>(flush_mode::finish)) {
    throw constraint_error("flush_mode value out of range");
  }
  cursor_type at{in_data.data(), in_data.length(), out_data.data(), out_data.length()};
  done = false;
  const bool first_member = consumed == 0;
  while ((this->*steps[static_cast<std::size_t>(phase)])(at)) {
  }
  if (first_member && at.in_used != 0) ++member_count;  // the first member has begun
  consumed += at.in_used;
  produced += at.out_used;
  const bool at_rest =
      phase == phase_type::ended || (phase == phase_type::between && staged_count == 0);
  if (flush == flush_mode::finish) {
    done = at_rest;
    // All input is in and this call could do nothing with its output room: the stream stops
    // short. A call that made progress returns, and the next one decides.
    if (!at_rest && at.in_left() == 0 && at.in_used == 0 && at.out_used == 0 && !out_data.empty()) {
      fail_truncated();
    }
  }
  return {in_data.first() - 1 + static_cast<element_index>(at.in_used),
          out_data.first() - 1 + static_cast<element_index>(at.out_used)};
}

// Collects bytes of a fixed-size part into staged until it holds want of them.
bool basic_member_decoder::stage(cursor_type& at, std::uint32_t want) {
  const auto n =
      static_cast<std::uint32_t>(std::min<std::size_t>(want - staged_count, at.in_left()));
  if (n != 0) std::memcpy(staged.data() + staged_count, at.in_next(), n);
  staged_count += n;
  at.in_used += n;
  return staged_count == want;
}

void basic_member_decoder::begin_member(framing_type kind) {
  framing = kind;
  phase = kind == framing_type::gzip ? phase_type::gzip_head : phase_type::zlib_head;
  field = gzip_field::fixed;
}

void basic_member_decoder::begin_body() {
  open_raw(window_bits);
  check = checks[static_cast<std::size_t>(framing)].start;
  size = 0;
  staged_count = 0;
  phase = phase_type::body;
}

bool basic_member_decoder::step_detect(cursor_type& at) {
  if (!stage(at, 2)) return false;
  const bool gzip = staged[0] == gzip_magic[0] && staged[1] == gzip_magic[1];
  begin_member(gzip ? framing_type::gzip : framing_type::zlib);
  return true;
}

bool basic_member_decoder::step_zlib_head(cursor_type& at) {
  if (!stage(at, 2)) return false;
  read_zlib_head();
  begin_body();
  return true;
}

// The checks and texts are zlib's own, so that a stream is judged alike by both decoders.
void basic_member_decoder::read_zlib_head() const {
  const unsigned cmf = staged[0], flg = staged[1];
  if ((cmf << 8 | flg) % 31 != 0) fail_data("incorrect header check");
  if ((cmf & 0x0F) != Z_DEFLATED) fail_data("unknown compression method");
  if (static_cast<int>(cmf >> 4) + 8 > window_bits) fail_data("invalid window size");
  if ((flg & zlib_fdict) != 0) {
    throw zlib_error(return_code_enum::NEED_DICT,
                     "NEED_DICT: the zlib stream needs a preset dictionary");
  }
}

bool basic_member_decoder::step_gzip_head(cursor_type& at) {
  while (field != gzip_field::done) {
    const element* start = at.in_next();
    std::size_t taken = 0;  // header bytes consumed in this pass, for the header CRC
    switch (field) {
      case gzip_field::fixed:
        if (!stage(at, 10)) return false;
        read_gzip_fixed();
        break;
      case gzip_field::extra_length:
        if (!stage(at, 2)) return false;
        extra_left = std::uint32_t{staged[0]} | std::uint32_t{staged[1]} << 8;
        header_crc = extend(header_crc, ::crc32, staged.data(), 2);
        staged_count = 0;
        field = gzip_field::extra;
        continue;
      case gzip_field::extra: {
        taken = std::min<std::size_t>(extra_left, at.in_left());
        current.extra.insert(current.extra.end(), start, start + taken);
        extra_left -= static_cast<std::uint32_t>(taken);
        break;
      }
      case gzip_field::name:
      case gzip_field::comment: {
        if (at.in_left() == 0) return false;
        std::string& text = field == gzip_field::name ? current.name : current.comment;
        const auto* zero = static_cast<const element*>(std::memchr(start, 0, at.in_left()));
        taken = zero == nullptr ? at.in_left() : static_cast<std::size_t>(zero - start) + 1;
        const std::size_t chars = zero == nullptr ? taken : taken - 1;
        const std::size_t kept = std::min(chars, gzip_field_limit - text.size());
        text.append(reinterpret_cast<const char*>(start), kept);  // NOLINT: bytes as chars
        if (zero == nullptr) {
          header_crc = extend(header_crc, ::crc32, start, taken);
          at.in_used += taken;
          return false;
        }
        break;
      }
      case gzip_field::crc:
        if (!stage(at, 2)) return false;
        if ((std::uint32_t{staged[0]} | std::uint32_t{staged[1]} << 8) != (header_crc & 0xFFFF)) {
          fail_data("header crc mismatch");
        }
        staged_count = 0;
        break;
      case gzip_field::done:
        break;
    }
    if (taken != 0) {
      header_crc = extend(header_crc, ::crc32, start, taken);
      at.in_used += taken;
    }
    if (field == gzip_field::extra && extra_left != 0) return false;
    next_gzip_field();
  }
  begin_body();
  return true;
}

// ID1 ID2 CM FLG MTIME(4) XFL OS, checked as zlib checks them.
void basic_member_decoder::read_gzip_fixed() {
  if (staged[0] != gzip_magic[0] || staged[1] != gzip_magic[1]) {
    fail_data("incorrect header check");
  }
  if (staged[2] != Z_DEFLATED) fail_data("unknown compression method");
  flags = staged[3];
  if ((flags & freserved) != 0) fail_data("unknown header flags set");
  clear_header();
  current.mtime = load_le32(staged.data() + 4);
  current.os = staged[9];
  current.text = (flags & ftext) != 0;
  header_crc = extend(0, ::crc32, staged.data(), 10);
  staged_count = 0;
}

// Moves to the next part of the header that the flags announce, or to its end.
void basic_member_decoder::next_gzip_field() {
  const int after = static_cast<int>(field);
  int next = field_done;
  for (const auto& part : optional_parts) {
    if (part.field > after && (flags & part.flag) != 0) {
      next = part.field;
      break;
    }
  }
  // The extra field's length comes before its data; a zero length has no data to wait for.
  if (field == gzip_field::extra_length) next = static_cast<int>(gzip_field::extra);
  field = static_cast<gzip_field>(next);
}

bool basic_member_decoder::step_body(cursor_type& at) {
  // The raw inflater takes at most 4 GiB - 1 per call; the rest waits for the next pass.
  const std::size_t in_size = std::min(at.in_left(), max_zlib_length);
  const std::size_t out_size = std::min(at.out_left(), max_zlib_length);
  // The inflater waits for output room (it would have to refuse a call without), and for input
  // as long as it has had none.
  if (out_size == 0 || (in_size == 0 && raw().total_in() == 0)) return false;
  const const_element_array in(in_size == 0 ? nullptr : at.in_next(), in_size);
  const element_array out(out_size == 0 ? nullptr : at.out + at.out_used, out_size);
  transcode_result step{-1, -1};
  try {
    // With no new input a sync flush lets the inflater hand over what it holds without
    // calling the lack of input an error.
    step = raw().transcode(in, out, in_size == 0 ? flush_mode::sync_flush : flush_mode::no_flush);
  } catch (const zlib_error& error) {
    if (error.code() != return_code_enum::BUF_ERROR) throw;
    return false;  // no progress possible in this call
  }
  const auto in_n = static_cast<std::size_t>(step.in_last + 1);
  const auto out_n = static_cast<std::size_t>(step.out_last + 1);
  const check_type& kind = checks[static_cast<std::size_t>(framing)];
  if (out_n != 0) check = extend(check, kind.update, out.data(), out_n);
  size += static_cast<std::uint32_t>(out_n);
  at.in_used += in_n;
  at.out_used += out_n;
  // Unfinished, the inflater stopped for want of input or output room, or at the 4 GiB limit of
  // one call, where another pass goes on.
  if (!raw().finished()) {
    return (in_size == max_zlib_length || out_size == max_zlib_length) && (in_n != 0 || out_n != 0);
  }
  phase = kind.trailer_size == 0 ? phase_type::ended : phase_type::trailer;
  return true;
}

bool basic_member_decoder::step_trailer(cursor_type& at) {
  const bool gzip = framing == framing_type::gzip;
  if (!stage(at, checks[static_cast<std::size_t>(framing)].trailer_size)) return false;
  const std::uint32_t stored = gzip ? load_le32(staged.data()) : load_be32(staged.data());
  if (stored != check) fail_data("incorrect data check");
  if (gzip && load_le32(staged.data() + 4) != size) fail_data("incorrect length check");
  staged_count = 0;
  phase = gzip ? phase_type::between : phase_type::ended;
  return true;
}

// After a gzip member: zero bytes are padding; 1F 8B starts the next member; anything else is
// trailing data, reported at its first byte (the 1F of a false start included).
bool basic_member_decoder::step_between(cursor_type& at) {
  while (at.in_left() != 0) {
    const element byte = *at.in_next();
    if (staged_count == 1) {
      if (byte != gzip_magic[1]) fail_trailing(consumed + at.in_used - 1);
      ++at.in_used;
      staged[1] = byte;
      begin_member(framing_type::gzip);
      staged_count = 2;
      return true;
    }
    if (byte == gzip_magic[0]) {
      staged[0] = byte;
      staged_count = 1;
      ++member_count;  // a member begins with its first byte
    } else if (byte != 0) {
      fail_trailing(consumed + at.in_used);
    }
    ++at.in_used;
  }
  return false;
}

bool basic_member_decoder::step_ended(cursor_type& at) {
  if (at.in_left() != 0) fail_trailing(consumed + at.in_used);
  return false;
}

void basic_member_decoder::fail_trailing(std::uint64_t position) const {
  throw zlib_error(return_code_enum::DATA_ERROR,
                   "DATA_ERROR: trailing data after the end of the stream, starting at input "
                   "byte " +
                       std::to_string(position));
}

void basic_member_decoder::fail_truncated() const {
  // Where the input stops, by phase; a complete stream (ended, between) never gets here.
  static constexpr std::array<const char*, 7> where{"inside the first two bytes",
                                                    "inside a gzip header",
                                                    "inside a zlib header",
                                                    "inside the deflate data",
                                                    "inside the trailer",
                                                    "inside a gzip member's magic bytes",
                                                    "after the end"};
  if (consumed == 0) {
    throw zlib_error(return_code_enum::BUF_ERROR, "BUF_ERROR: truncated input: it is empty");
  }
  throw zlib_error(return_code_enum::BUF_ERROR,
                   std::string("BUF_ERROR: truncated input: it ends ") +
                       where[static_cast<std::size_t>(phase)] + " of member " +
                       std::to_string(member_count));
}

void basic_member_decoder::clear_header() {
  current.name.clear();
  current.comment.clear();
  current.extra.clear();
  current.mtime = 0;
  current.os = 255;
  current.text = false;
}

}  // namespace wrenfold::coders::zlib
