// Plain zlib as the oracle of tests, fuzzers and benchmarks: one map from a header mode to zlib's
// window bits, one-shot deflate and inflate with zlib's own calls. Nothing here uses the coder.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include <wrenfold/coders-zlib-members.hpp>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::support {

using bytes = std::vector<coders::element>;

// Which side of the coder a header mode is taken for.
enum class coding : std::uint8_t { decompress, compress };

// zlib's window bits for a header mode as the coder takes it on one side: raw deflate negative,
// zlib as is, gzip +16; AUTO is detection of zlib or gzip (+32) on decompression and zlib framing
// on compression. With the compression side's bits zlib writes the framing the coder writes in
// that mode, and reads exactly that framing.
inline int zlib_window(coders::zlib::header_type header, int window_bits = 15,
                       coding side = coding::decompress) {
  using coders::zlib::header_type;
  switch (header) {
    case header_type::NONE:
      return -window_bits;
    case header_type::AUTO:
      return side == coding::decompress ? window_bits + 32 : window_bits;
    case header_type::GZIP:
      return window_bits + 16;
    case header_type::DEFAULT:
      break;
  }
  return window_bits;
}

// What plain zlib made of an input.
struct inflate_result {
  int code = Z_OK;                                  // Z_STREAM_END for a complete stream
  bytes output;                                     // every byte zlib produced, up to the cap
  std::size_t consumed = 0;                         // input bytes zlib took
  std::string message;                              // zlib's text for a failure
  std::optional<coders::zlib::gzip_header> header;  // a gzip member's, when asked for and read

  bool complete() const { return code == Z_STREAM_END; }
};

struct inflate_options {
  // One inflate call (Z_FINISH) with output_cap bytes of room, as a reader with all the room it
  // needs: a distance may then reach back into everything the call wrote, not only the window.
  bool one_call = false;
  bool gzip_header = false;  // keep the header of a gzip member (window bits above 15)
};

// Plain zlib inflate of data (window bits as zlib takes them) until the stream ends, fails, or
// output_cap bytes are out: 64 KiB of room per call, or everything in one call. Bytes after the
// end of the stream stay unconsumed; a stream cut short ends in Z_BUF_ERROR with all of it
// consumed and everything it makes decodable written.
inline inflate_result zlib_inflate(std::span<const coders::element> data, int window,
                                   std::size_t output_cap = std::numeric_limits<std::size_t>::max(),
                                   inflate_options options = {}) {
  inflate_result result;
  z_stream stream{};
  if (inflateInit2(&stream, window) != Z_OK) {
    result.code = Z_STREAM_ERROR;
    result.message = "inflateInit2 refused the window";
    return result;
  }
  // A header's texts and extra field are no longer than the input that carries them.
  bytes name, comment, extra;
  gz_header head{};
  if (options.gzip_header) {
    for (bytes* field : {&name, &comment, &extra}) field->resize(data.size() + 1);
    head.name = name.data();
    head.name_max = static_cast<uInt>(name.size());
    head.comment = comment.data();
    head.comm_max = static_cast<uInt>(comment.size());
    head.extra = extra.data();
    head.extra_max = static_cast<uInt>(extra.size());
    if (inflateGetHeader(&stream, &head) != Z_OK) {
      inflateEnd(&stream);
      result.code = Z_STREAM_ERROR;
      result.message = "inflateGetHeader refused: not a gzip window";
      return result;
    }
  }
  stream.next_in = const_cast<coders::element*>(data.data());  // zlib does not write through it
  stream.avail_in = static_cast<uInt>(data.size());
  if (options.one_call && output_cap > std::numeric_limits<uInt>::max()) {
    result.code = Z_STREAM_ERROR;
    result.message = "one inflate call takes at most 4 GiB of room";
  } else if (options.one_call) {
    // Reused across calls; one byte more, so that zlib gets an address even with no room.
    thread_local bytes room;
    if (room.size() <= output_cap) room.resize(output_cap + 1);
    stream.next_out = room.data();
    stream.avail_out = static_cast<uInt>(output_cap);
    result.code = inflate(&stream, Z_FINISH);
    result.output.assign(room.begin(),
                         room.begin() + static_cast<std::ptrdiff_t>(output_cap - stream.avail_out));
  } else {
    bytes room(std::size_t{1} << 16);
    while (result.code == Z_OK && result.output.size() < output_cap) {
      stream.next_out = room.data();
      stream.avail_out = static_cast<uInt>(room.size());
      result.code = inflate(&stream, Z_NO_FLUSH);  // Z_BUF_ERROR: the input ends first
      result.output.insert(result.output.end(), room.begin(),
                           room.end() - static_cast<std::ptrdiff_t>(stream.avail_out));
    }
  }
  result.consumed = data.size() - stream.avail_in;
  if (stream.msg != nullptr) result.message = stream.msg;
  if (head.done == 1) {
    auto text = [](const Bytef* field, std::size_t max) {
      if (field == nullptr) return std::string();
      const auto* chars = reinterpret_cast<const char*>(field);
      return std::string(chars, std::min(std::string_view(chars, max).find('\0'), max));
    };
    auto& fields = result.header.emplace();
    fields.name = text(head.name, head.name_max);
    fields.comment = text(head.comment, head.comm_max);
    if (head.extra != nullptr) {
      fields.extra.assign(extra.begin(), extra.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             head.extra_len, head.extra_max)));
    }
    fields.mtime = static_cast<std::uint32_t>(head.time);
    fields.os = static_cast<std::uint8_t>(head.os);
    fields.text = head.text != 0;
  }
  inflateEnd(&stream);
  return result;
}

// Plain zlib deflate of all of data, with zlib's own window bits (negative for raw deflate, +16
// for a gzip member), and a preset dictionary when one is given; empty if zlib refuses the
// settings. The room starts at deflateBound and grows: zlib 1.2.13's bound is short for stored
// blocks with a window below 15 bits.
inline bytes zlib_deflate(std::span<const coders::element> data, int level, int window,
                          int strategy = Z_DEFAULT_STRATEGY, int memory_level = 8,
                          std::span<const coders::element> dictionary = {}) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window, memory_level, strategy) != Z_OK) {
    return {};
  }
  if (!dictionary.empty() && deflateSetDictionary(&stream, dictionary.data(),
                                                  static_cast<uInt>(dictionary.size())) != Z_OK) {
    deflateEnd(&stream);
    return {};
  }
  bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<coders::element*>(data.data());  // zlib does not write through it
  stream.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    const int code = deflate(&stream, Z_FINISH);
    if (code == Z_STREAM_END) break;
    if (code != Z_OK && code != Z_BUF_ERROR) {
      deflateEnd(&stream);
      return {};
    }
    out.resize(out.size() + out.size() / 4 + 64);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace wrenfold::support
