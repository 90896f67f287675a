// Decompression of hostile input: corrupt framing, checksums and sizes, streams cut at every
// byte, and bytes after the end of a stream. zlib's verdict reaches the caller with its own
// text, a success is never wrong, and the coder stays usable after every failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::ThrowsMessage;
using wrenfold::coders::element;
using zl::coder_type;
using zl::header_type;
using zl::zlib_error;

const bytes& plain() {
  static const bytes data = sample(data_shape::text, 4000, 21);
  return data;
}
const bytes& zlib_stream() {
  static const bytes data = zlib_deflate(plain(), 6, 15);
  return data;
}
const bytes& gzip_stream() {
  static const bytes data = zlib_deflate(plain(), 6, 31);
  return data;
}
const bytes& raw_stream() {
  static const bytes data = zlib_deflate(plain(), 6, -15);
  return data;
}

// A well-formed stream of plain() in the framing a decoder opened with `header` reads.
const bytes& good_stream(header_type header) {
  switch (header) {
    case header_type::NONE:
      return raw_stream();
    case header_type::DEFAULT:
      return zlib_stream();
    default:
      return gzip_stream();
  }
}

struct decoded {
  bytes output;
  std::size_t consumed;  // input bytes consumed
};

// Feeds `in` in pieces of at most `chunk` bytes, no_flush and finish on the last piece, with
// `room` bytes of fresh output per call, until the coder reports the end of the stream. Bytes
// after the end stay unconsumed. Failures of the coder propagate.
decoded decode(coder_type& coder, std::span<const element> in, std::size_t chunk,
               std::size_t room = 1 << 16) {
  drive_state state;
  drive(coder, in, {.in_chunk = chunk, .out_chunk = room, .first = -7}, state);
  EXPECT_FALSE(state.stalled) << "coder makes no progress";
  return {std::move(state.output), state.consumed};
}

// After a failure the coder can be closed or re-initialised, and then decodes a good stream.
void expect_usable(coder_type& coder, header_type header, bool close_first) {
  SCOPED_TRACE(close_first ? "closed, then re-initialised" : "re-initialised");
  if (close_first) {
    coder.close();
    EXPECT_FALSE(coder.is_open());
  }
  coder.inflate_init(zl::default_window_bits, header);
  EXPECT_EQ(decode(coder, good_stream(header), 1 << 16).output, plain());
}

// A zlib header (RFC 1950) with the given CMF and FLG bits, FCHECK made valid.
bytes zlib_header(element cmf, element flg) {
  flg = static_cast<element>(flg & 0xE0);
  flg = static_cast<element>(flg + (31 - (cmf * 256 + flg) % 31) % 31);
  return {cmf, flg};
}

bytes concat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bytes patched(bytes data, std::size_t at, element value) {
  data[at] = value;
  return data;
}

bytes flipped(bytes data, std::ptrdiff_t from_end) {
  data[data.size() - static_cast<std::size_t>(from_end)] ^= 0x01;
  return data;
}

// A zlib stream of plain() that needs a preset dictionary to decode.
bytes stream_with_dictionary() {
  static constexpr std::string_view dictionary = "the coder stream of zlib data";
  return zlib_deflate(
      plain(), 6, 15, Z_DEFAULT_STRATEGY, 8,
      std::span(reinterpret_cast<const element*>(dictionary.data()), dictionary.size()));
}

// A gzip member whose header carries a header CRC (FHCRC), off by one when `corrupt`.
bytes gzip_with_header_crc(bool corrupt) {
  bytes member = gzip_stream();
  member[3] |= 0x02;
  const auto crc = crc32(0, member.data(), 10) ^ (corrupt ? 1u : 0u);
  const bytes crc16{static_cast<element>(crc), static_cast<element>(crc >> 8)};
  member.insert(member.begin() + 10, crc16.begin(), crc16.end());
  return member;
}

struct hostile_row {
  const char* what;
  header_type header;
  int window_bits;
  bytes data;
  std::string message;
};

TEST(hostile_input_test, corrupt_streams_fail_with_zlibs_verdict_and_text) {
  const bytes zlib_body(zlib_stream().begin() + 2, zlib_stream().end());
  const hostile_row rows[] = {
      {"zlib method 7", header_type::DEFAULT, 15, concat(zlib_header(0x77, 0), zlib_body),
       "DATA_ERROR: unknown compression method"},
      {"zlib method 7, detected", header_type::AUTO, 15, concat(zlib_header(0x77, 0), zlib_body),
       "DATA_ERROR: unknown compression method"},
      {"zlib window 2^16", header_type::DEFAULT, 15, concat(zlib_header(0x88, 0), zlib_body),
       "DATA_ERROR: invalid window size"},
      {"zlib window 2^15 for a decoder of 2^9", header_type::DEFAULT, 9, zlib_stream(),
       "DATA_ERROR: invalid window size"},
      {"zlib stream that asks for a preset dictionary", header_type::DEFAULT, 15,
       stream_with_dictionary(), "NEED_DICT: "},
      {"preset dictionary, detected", header_type::AUTO, 15, stream_with_dictionary(),
       "NEED_DICT: "},
      {"bad Adler-32, detected", header_type::AUTO, 15, flipped(zlib_stream(), 1),
       "DATA_ERROR: incorrect data check"},
      {"gzip method 7", header_type::GZIP, 15, patched(gzip_stream(), 2, 7),
       "DATA_ERROR: unknown compression method"},
      {"gzip reserved flag", header_type::GZIP, 15, patched(gzip_stream(), 3, 0x20),
       "DATA_ERROR: unknown header flags set"},
      {"gzip reserved flag, detected", header_type::AUTO, 15, patched(gzip_stream(), 3, 0x80),
       "DATA_ERROR: unknown header flags set"},
      {"gzip header CRC", header_type::GZIP, 15, gzip_with_header_crc(true),
       "DATA_ERROR: header crc mismatch"},
      {"bad CRC-32, detected", header_type::AUTO, 15, flipped(gzip_stream(), 8),
       "DATA_ERROR: incorrect data check"},
      {"gzip size field", header_type::GZIP, 15, flipped(gzip_stream(), 4),
       "DATA_ERROR: incorrect length check"},
      {"gzip size field, top byte", header_type::AUTO, 15, flipped(gzip_stream(), 1),
       "DATA_ERROR: incorrect length check"},
      // Final stored block, LEN 5 with an NLEN that is not its complement.
      {"stored block lengths", header_type::NONE, 15, bytes{0x01, 0x05, 0x00, 0x00, 0x00, 'a'},
       "DATA_ERROR: invalid stored block lengths"},
      // Final dynamic block declaring 287 literal/length codes.
      {"too many length codes", header_type::NONE, 15, bytes{0xF5, 0x00, 0x00},
       "DATA_ERROR: too many length or distance symbols"},
      // Final fixed block that opens with a match of distance 1: nothing to copy from.
      {"distance before the start", header_type::NONE, 15, bytes{0x03, 0x02, 0x00},
       "DATA_ERROR: invalid distance too far back"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_FALSE(row.data.empty());
    // Whole, and a byte at a time: the verdict must not depend on how the input is split.
    for (const std::size_t chunk : {row.data.size(), std::size_t{1}}) {
      SCOPED_TRACE(testing::Message() << "chunk " << chunk);
      for (const bool close_first : {false, true}) {
        coder_type coder;
        coder.inflate_init(row.window_bits, row.header);
        EXPECT_THAT([&] { decode(coder, row.data, chunk); },
                    ThrowsMessage<zlib_error>(row.message));
        EXPECT_TRUE(coder.is_open());
        expect_usable(coder, row.header, close_first);
      }
    }
  }
  // The untouched header CRC decodes: the row above fails for the CRC alone.
  coder_type coder;
  coder.inflate_init(15, header_type::GZIP);
  EXPECT_EQ(decode(coder, gzip_with_header_crc(false), 1 << 16).output, plain());
}

TEST(hostile_input_test, every_truncation_fails_with_buf_error) {
  const auto input = sample(data_shape::text, 300, 5);
  const std::pair<header_type, bytes> streams[] = {
      {header_type::NONE, zlib_deflate(input, 9, -15)},
      {header_type::DEFAULT, zlib_deflate(input, 9, 15)},
      {header_type::GZIP, zlib_deflate(input, 9, 31)},
      {header_type::AUTO, zlib_deflate(input, 9, 31)},
  };
  for (const auto& [header, stream] : streams) {
    SCOPED_TRACE(header);
    coder_type coder;  // one coder for every cut, re-initialised after each failure
    for (const std::size_t room : {std::size_t{16}, std::size_t{1} << 16}) {
      for (std::size_t cut = 0; cut < stream.size(); ++cut) {
        SCOPED_TRACE(testing::Message()
                     << "room " << room << ", cut after " << cut << " of " << stream.size());
        coder.inflate_init(zl::default_window_bits, header);
        const auto cut_stream = std::span(stream).first(cut);
        EXPECT_THAT([&] { decode(coder, cut_stream, cut, room); },
                    ThrowsMessage<zlib_error>("BUF_ERROR: "));
      }
      coder.inflate_init(zl::default_window_bits, header);
      const auto whole = decode(coder, stream, stream.size(), room);
      EXPECT_EQ(whole.output, input);
      EXPECT_EQ(whole.consumed, stream.size());
    }
  }
}

struct trailing_row {
  const char* what;
  header_type header;
  bytes stream;  // decodes to plain()
  bytes after;   // left unconsumed
  header_type next_header;
  bytes next_plain;  // empty: `after` is not a stream
};

TEST(hostile_input_test, decoding_stops_at_the_end_of_the_stream) {
  const auto second = sample(data_shape::random, 700, 4);
  const bytes junk{'j', 'u', 'n', 'k', 0x1F, 0x8B, 0x00};
  const trailing_row rows[] = {
      {"gzip, then junk", header_type::GZIP, gzip_stream(), junk, header_type::GZIP, {}},
      {"raw, then junk", header_type::NONE, raw_stream(), junk, header_type::NONE, {}},
      {"zlib detected, then junk", header_type::AUTO, zlib_stream(), junk, header_type::AUTO, {}},
      {"two gzip members", header_type::GZIP, gzip_stream(), zlib_deflate(second, 9, 31),
       header_type::GZIP, second},
      {"zlib, then a gzip member, detected", header_type::AUTO, zlib_stream(),
       zlib_deflate(second, 1, 31), header_type::AUTO, second},
      {"two raw streams", header_type::NONE, raw_stream(), zlib_deflate(second, 0, -15),
       header_type::NONE, second},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const bytes data = concat(row.stream, row.after);
    for (const std::size_t chunk : {data.size(), std::size_t{1}, std::size_t{13}}) {
      SCOPED_TRACE(testing::Message() << "chunk " << chunk);
      coder_type coder;
      coder.inflate_init(zl::default_window_bits, row.header);
      const auto first = decode(coder, data, chunk);
      EXPECT_EQ(first.output, plain());
      EXPECT_EQ(first.consumed, row.stream.size());
      EXPECT_EQ(coder.total_in(), static_cast<std::int64_t>(row.stream.size()));
      if (row.next_plain.empty()) continue;
      coder.inflate_init(zl::default_window_bits, row.next_header);
      const auto next = decode(coder, std::span(data).subspan(first.consumed), chunk);
      EXPECT_EQ(next.output, row.next_plain);
      EXPECT_EQ(next.consumed, data.size() - first.consumed);
    }
  }
}

}  // namespace
