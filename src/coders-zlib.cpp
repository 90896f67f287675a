// The zlib coder: its tables, lifecycle, the judged transcoding step, the gzip member framing
// written on compression, and the crc32 and version queries.
#include <algorithm>
#include <cstring>
#include <limits>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::coders::zlib {

namespace {

constexpr std::array<std::string_view, 4> header_images{"NONE", "AUTO", "DEFAULT", "GZIP"};
constexpr std::array<std::string_view, 9> return_code_images{
    "OK",         "STREAM_END", "NEED_DICT", "ERRNO",        "STREAM_ERROR",
    "DATA_ERROR", "MEM_ERROR",  "BUF_ERROR", "VERSION_ERROR"};

// zlib result 2 - k maps to entry k.
constexpr int highest_zlib_result = Z_NEED_DICT;
constexpr std::array<return_code_enum, 9> return_code_table{
    return_code_enum::NEED_DICT, return_code_enum::STREAM_END,   return_code_enum::OK,
    return_code_enum::ERRNO,     return_code_enum::STREAM_ERROR, return_code_enum::DATA_ERROR,
    return_code_enum::MEM_ERROR, return_code_enum::BUF_ERROR,    return_code_enum::VERSION_ERROR};

// How each header mode frames a stream, indexed by header_type position. The window handed to
// zlib is sign * window_bits + add.
struct inflate_framing_type {
  int sign;
  int add;
  bool gated;  // needs a zlib newer than 1.1.4
};
constexpr std::array<inflate_framing_type, 4> inflate_framing{{
    {-1, 0, true},  // NONE: raw deflate
    {1, 32, true},  // AUTO: zlib or gzip, detected by zlib
    {1, 0, false},  // DEFAULT: zlib
    {1, 16, true},  // GZIP: gzip, read by zlib
}};

struct deflate_framing_type {
  int sign;
  element_index offset;  // 1 while the gzip header is to be written, 11 when there is none
};
constexpr std::array<deflate_framing_type, 4> deflate_framing{{
    {-1, 11},  // NONE: raw deflate
    {1, 11},   // AUTO: as DEFAULT
    {1, 11},   // DEFAULT: zlib
    {-1, 1},   // GZIP: raw deflate from zlib inside the coder's own gzip framing
}};

constexpr std::uint64_t max_zlib_length = std::numeric_limits<std::uint32_t>::max();

// zlib refuses a null buffer address even with length 0, and crc32 answers 0 for one; an empty
// array may have no address at all, so it is given this one. zlib never writes through it.
constexpr element no_bytes[1]{};

const element* start_of(const_element_array data) noexcept {
  return data.data() == nullptr ? no_bytes : data.data();
}
element* start_of(element_array data) noexcept {
  return data.data() == nullptr ? const_cast<element*>(no_bytes)  // NOLINT: never written
                                : data.data();
}

std::size_t position(header_type header) {
  const auto index = static_cast<std::size_t>(header);
  if (index >= header_images.size()) throw constraint_error("header_type value out of range");
  return index;
}

std::uint32_t zlib_length(std::size_t length, const char* what) {
  if (length > max_zlib_length) {
    throw constraint_error(std::string(what) + " longer than 4,294,967,295 bytes");
  }
  return static_cast<std::uint32_t>(length);
}

int framed_window(int window_bits, int sign, int add) {
  int window = 0;
  if (__builtin_mul_overflow(window_bits, sign, &window) ||
      __builtin_add_overflow(window, add, &window)) {
    throw constraint_error("window bits out of range");
  }
  return window;
}

element_count counter(std::uint64_t value) {
  if (value > static_cast<std::uint64_t>(std::numeric_limits<element_count>::max())) {
    throw constraint_error("zlib counter beyond 2^63 - 1");
  }
  return static_cast<element_count>(value);
}

// A refused init: zlib's text, and zlib's result as the code.
[[noreturn]] void raise_init_failure(int zlib_result, const thin::z_stream& stream) {
  throw zlib_error(return_code(zlib_result), thin::last_error_message(stream));
}

[[noreturn]] void raise_step_failure(int zlib_result, const thin::z_stream& stream) {
  const return_code_enum code = return_code(zlib_result);
  std::string message(image(code));
  message += ": ";
  message += thin::last_error_message(stream);
  throw zlib_error(code, message);
}

// The version gate of decompression framings that zlib 1.1.4 and older could not read.
void require_header_support(header_type header) {
  const std::string_view running = zlibVersion();
  if (running > std::string_view("1.1.4")) return;
  std::string message("Inflate header type ");
  message += image(header);
  message += " incompatible with ZLib version ";
  message += running;
  throw zlib_error(return_code_enum::VERSION_ERROR, message);
}

// Copies as much of the unwritten rest of a framing item (positions 1 .. item.size()) as fits
// behind out_last, advancing out_last and offset.
void emit_pending(std::span<const element> item, element_array out_data, element_index& out_last,
                  element_index& offset) noexcept {
  const auto item_rest = static_cast<std::int64_t>(item.size()) - offset + 1;
  const std::uint64_t room =
      static_cast<std::uint64_t>(out_data.last()) - static_cast<std::uint64_t>(out_last);
  if (item_rest <= 0 || room == 0) return;
  const auto n = std::min(static_cast<std::uint64_t>(item_rest), room);
  std::memcpy(&out_data[out_last + 1], item.data() + (offset - 1), n);
  out_last += static_cast<element_index>(n);
  offset += static_cast<element_index>(n);
}

void put_le32(element* at, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<element>(value >> (8 * i));
}

}  // namespace

const std::array<flate_type, 2> flate{{{inflate, inflateEnd}, {deflate, deflateEnd}}};

const std::array<element, 10> simple_gzip_header{0x1F, 0x8B, 0x08, 0x00, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x03};

std::string_view image(header_type header) { return header_images[position(header)]; }

std::string_view image(return_code_enum code) {
  const auto index = static_cast<std::size_t>(code);
  if (index >= return_code_images.size()) {
    throw constraint_error("return_code_enum value out of range");
  }
  return return_code_images[index];
}

return_code_enum return_code(int zlib_result) {
  if (zlib_result > highest_zlib_result || zlib_result < Z_VERSION_ERROR) {
    throw constraint_error("zlib result " + std::to_string(zlib_result) + " outside -6 .. 2");
  }
  return return_code_table[static_cast<std::size_t>(highest_zlib_result - zlib_result)];
}

coder_type::coder_type() noexcept = default;

coder_type::~coder_type() { close(); }

void coder_type::open_stream() {
  if (stream) {
    flate[compressing].release(stream.get());
  } else {
    stream = std::make_unique<thin::z_stream>();  // value-initialised: all zero
  }
  stream_ended = false;
}

void coder_type::deflate_init(int level, int strategy, int method, int window_bits,
                              int memory_level, header_type header_mode) {
  const auto& framing = deflate_framing[position(header_mode)];
  open_stream();
  const int window = framed_window(window_bits, framing.sign, 0);
  offset = framing.offset;
  if (header_mode == header_type::GZIP) crc = 0;
  compressing = true;
  header = header_mode;
  const int result =
      thin::deflate_init(stream.get(), level, method, window, memory_level, strategy);
  if (result != Z_OK) raise_init_failure(result, *stream);
}

void coder_type::inflate_init(int window_bits, header_type header_mode) {
  const auto& framing = inflate_framing[position(header_mode)];
  open_stream();
  if (framing.gated) require_header_support(header_mode);
  const int window = framed_window(window_bits, framing.sign, framing.add);
  compressing = false;
  header = header_mode;
  const int result = thin::inflate_init(stream.get(), window);
  if (result != Z_OK) raise_init_failure(result, *stream);
}

bool coder_type::is_open() const { return stream != nullptr; }

thin::z_stream& coder_type::open_record() const {
  if (!stream) throw constraint_error("coder is closed");
  return *stream;
}

element_count coder_type::total_in() const { return counter(thin::total_in(open_record())); }

element_count coder_type::total_out() const { return counter(thin::total_out(open_record())); }

void coder_type::close() {
  if (!stream) return;
  flate[compressing].release(stream.get());
  stream.reset();
}

transcode_result coder_type::transcode_general(const_element_array in_data, element_array out_data,
                                               flush_mode flush) {
  if (framing_member()) return run_gzip_step(in_data, out_data, flush);
  return run_step(in_data, out_data, flush);
}

transcode_result coder_type::settle(int code, const_element_array in_data, element_array out_data,
                                    flush_mode flush) {
  const auto step = judge(code, in_data, out_data, flush);
  return framing_member() ? close_member_step(in_data, out_data, step) : step;
}

transcode_result coder_type::run_step(const_element_array in_data, element_array out_data,
                                      flush_mode flush) {
  if (in_data.empty() && out_data.empty()) {
    throw constraint_error("transcode: input and output arrays both empty");
  }
  thin::z_stream& record = open_record();
  const auto flush_index = static_cast<std::size_t>(flush);
  if (flush_index >= flush_to_c.size()) throw constraint_error("flush_mode value out of range");
  thin::set_out(record, start_of(out_data), zlib_length(out_data.length(), "output array"));
  thin::set_in(record, start_of(in_data), zlib_length(in_data.length(), "input array"));
  return judge(flate[compressing].process(&record, flush_to_c[flush_index]), in_data, out_data,
               flush);
}

// zlib's verdict on a call that handed it in_data and out_data whole.
transcode_result coder_type::judge(int code, const_element_array in_data, element_array out_data,
                                   flush_mode flush) {
  const thin::z_stream& record = *stream;
  const std::uint32_t in_rest = thin::avail_in(record);
  const std::uint32_t out_rest = thin::avail_out(record);
  if (code == Z_STREAM_END) {
    stream_ended = true;
  } else if (code != Z_OK) {
    // zlib's "no progress possible" is not an error when the call made progress anyway
    // (inflate says it under finish until the stream is complete), nor when a flush or finish
    // with no new input had nothing left to do on a stream that has seen input.
    const bool in_empty = in_data.empty();
    const bool progress = in_rest != in_data.length() || out_rest != out_data.length();
    const bool idle_flush = flush != flush_mode::no_flush && in_empty &&
                            thin::total_in(record) != 0 &&
                            (flush != flush_mode::finish || out_rest != out_data.length());
    if (code != Z_BUF_ERROR || !(progress || idle_flush)) raise_step_failure(code, record);
  }
  return {in_data.last() - static_cast<element_index>(in_rest),
          out_data.last() - static_cast<element_index>(out_rest)};
}

transcode_result coder_type::run_gzip_step(const_element_array in_data, element_array out_data,
                                           flush_mode flush) {
  // Misuse is refused before anything is written, whatever phase the member is in.
  open_record();
  zlib_length(out_data.length(), "output array");
  zlib_length(in_data.length(), "input array");
  const element_index out_none = out_data.first() - 1;
  if (stream_ended) return emit_trailer(in_data.first() - 1, out_data, out_none);

  // Header bytes count as written only once the call succeeds: a failing call leaves offset
  // as it was, so the next call writes them again.
  element_index out_last = out_none;
  element_index pending = offset;
  emit_pending(simple_gzip_header, out_data, out_last, pending);
  if (out_last != out_none && out_last == out_data.last()) {
    offset = pending;
    return {in_data.first() - 1, out_last};
  }
  const auto step = run_step(in_data, out_data.slice(out_last + 1, out_data.last()), flush);
  offset = pending;
  return close_member_step(in_data, out_data, step);
}

// After a successful deflate step on a member: the CRC, then the trailer once the data ended.
transcode_result coder_type::close_member_step(const_element_array in_data, element_array out_data,
                                               transcode_result step) {
  extend_crc(in_data, step.in_last);
  if (!stream_ended) return step;
  return emit_trailer(step.in_last, out_data, step.out_last);
}

transcode_result coder_type::emit_trailer(element_index in_last, element_array out_data,
                                          element_index out_last) {
  if (offset == header_complete) offset = 1;
  std::array<element, 8> trailer{};
  put_le32(trailer.data(), crc);
  put_le32(trailer.data() + 4, static_cast<std::uint32_t>(thin::total_in(open_record())));
  emit_pending(trailer, out_data, out_last, offset);
  return {in_last, out_last};
}

std::uint32_t crc32(std::uint32_t crc, const_element_array data) {
  const std::uint32_t length = zlib_length(data.length(), "crc32 data");
  const uLong result = ::crc32(crc, start_of(data), length);
  if (result > std::numeric_limits<std::uint32_t>::max()) {
    throw constraint_error("zlib crc32 result wider than 32 bits");
  }
  return static_cast<std::uint32_t>(result);
}

std::string version() { return zlibVersion(); }

}  // namespace wrenfold::coders::zlib
