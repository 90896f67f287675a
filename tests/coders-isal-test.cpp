// The ISA-L coder against zlib: what it writes decodes with the zlib coder and plain zlib in every
// framing, level, flush pattern and buffer size; what zlib writes it decodes, stopping exactly at
// the end of the stream; truncated, corrupt and misused input fail as the zlib coder's do; and
// each way in which ISA-L 2.30 on its own loses or invents data stays handled.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <wrenfold/coders-isal.hpp>
#include <wrenfold/support/drive.hpp>
#include <wrenfold/support/samples.hpp>
#include <wrenfold/support/zlib-oracle.hpp>

namespace {

namespace zl = wrenfold::coders::zlib;
namespace is = wrenfold::coders::isal;
namespace support = wrenfold::support;
using support::bytes;
using support::flush_policy;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::flush_mode;
using zl::header_type;
using zl::return_code_enum;

constexpr header_type framings[] = {header_type::NONE, header_type::AUTO, header_type::DEFAULT,
                                    header_type::GZIP};

// Text that compresses well followed by random bytes that do not, so that both block kinds show.
bytes mixed_sample(std::size_t size) {
  bytes data = support::sample(support::data_shape::text, size - size / 4);
  const bytes noise = support::sample(support::data_shape::random, size / 4, 7);
  data.insert(data.end(), noise.begin(), noise.end());
  return data;
}

bytes isal_compress(const bytes& data, int level, header_type header, int window_bits,
                    support::drive_options options = {}) {
  is::coder_type coder;
  coder.deflate_init(level, header, window_bits);
  options.counts_framing = header == header_type::GZIP;
  return support::pump(coder, data, options);
}

// The header mode a decoder is given for a stream compressed in `header`.
header_type read_as(header_type header) {
  return header == header_type::AUTO ? header_type::DEFAULT : header;
}

struct decoded {
  bytes output;
  std::size_t consumed = 0;
  bool finished = false;
};

// ISA-L decompression of stream, driven as options say, up to the end of the stream.
decoded isal_decompress(const bytes& stream, header_type header, int window_bits,
                        const support::drive_options& options) {
  is::coder_type coder;
  coder.inflate_init(window_bits, header);
  support::drive_state state;
  support::drive(coder, stream, options, state);
  return {std::move(state.output), state.consumed, coder.finished()};
}

// A gzip member with every optional header field, the header CRC included, as zlib writes it.
bytes rich_gzip_member(const bytes& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string name = "name.txt", comment = "a comment";
  bytes extra{'A', 'B', 2, 0, 'x', 'y'};
  gz_header head{};
  head.name = reinterpret_cast<Bytef*>(name.data());
  head.comment = reinterpret_cast<Bytef*>(comment.data());
  head.extra = extra.data();
  head.extra_len = static_cast<uInt>(extra.size());
  head.hcrc = 1;
  deflateSetHeader(&stream, &head);
  bytes out(deflateBound(&stream, data.size()) + 64);
  stream.next_in = const_cast<element*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

TEST(isal_coder_test, everything_it_writes_decodes_with_zlib) {
  const bytes data = mixed_sample(16 * 1024);
  struct pattern {
    flush_policy flush;
    bool chunks;
  };
  constexpr pattern patterns[] = {{flush_policy::no_flush_then_finish, false},
                                  {flush_policy::sync_then_finish, false},
                                  {flush_policy::mixed, true},
                                  {flush_policy::mixed, false}};
  for (const header_type header : framings) {
    for (int level = is::fastest; level <= is::best_level; ++level) {
      for (const auto& [flush, chunks] : patterns) {
        for (const std::size_t size : {1U, 7U, 4096U, 65536U}) {
          // The smallest window in some runs, so that the zlib header's window is checked.
          const int window = size == 7 ? 8 : size == 4096 ? 11 : 15;
          SCOPED_TRACE(testing::Message() << zl::image(header) << " level " << level << " flush "
                                          << static_cast<int>(flush) << (chunks ? " chunks" : "")
                                          << " size " << size << " window " << window);
          support::drive_options options;
          options.in_chunk = options.out_chunk = size;
          options.flush = flush;
          options.flush_chunks = chunks;
          if (flush == flush_policy::mixed) options.seed = static_cast<std::uint32_t>(size);
          bytes packed;
          try {
            packed = isal_compress(data, level, header, window, options);
          } catch (const std::exception& e) {
            FAIL() << e.what();
          }

          zl::coder_type zlib_coder;
          zlib_coder.inflate_init(window, read_as(header));
          EXPECT_EQ(support::pump(zlib_coder, packed), data);
          const auto plain = support::zlib_inflate(
              packed, support::zlib_window(read_as(header), window), data.size() + 1);
          EXPECT_TRUE(plain.complete()) << plain.message;
          EXPECT_EQ(plain.output, data);
          EXPECT_EQ(plain.consumed, packed.size());
          const auto back = isal_decompress(packed, read_as(header), window, {});
          EXPECT_EQ(back.output, data);
        }
      }
    }
  }
}

// Every framing zlib writes, followed by bytes of something else: the coder stops at the end of
// the stream, every chunk size and output room, raw deflate included.
TEST(isal_coder_test, decodes_zlib_streams_and_stops_exactly_at_their_end) {
  const bytes data = mixed_sample(3000);
  struct row {
    const char* what;
    header_type made;  // zlib's framing
    header_type read;  // the decoder's
  };
  constexpr row rows[] = {{"raw", header_type::NONE, header_type::NONE},
                          {"zlib", header_type::DEFAULT, header_type::DEFAULT},
                          {"zlib auto", header_type::DEFAULT, header_type::AUTO},
                          {"gzip", header_type::GZIP, header_type::GZIP},
                          {"gzip auto", header_type::GZIP, header_type::AUTO},
                          {"gzip with every header field", header_type::GZIP, header_type::AUTO}};
  const bytes after{0x1F, 0x8B, 0x08, 0x00, 'n', 'e', 'x', 't', 0, 1, 2, 3, 4, 5, 6, 7, 8};
  for (const auto& r : rows) {
    bytes stream = std::string_view(r.what).ends_with("field")
                       ? rich_gzip_member(data)
                       : support::zlib_deflate(data, 6, support::zlib_window(r.made));
    const std::size_t size = stream.size();
    stream.insert(stream.end(), after.begin(), after.end());
    for (std::size_t chunk = 1; chunk <= 40; ++chunk) {
      for (const std::size_t room : {1U, 7U, 4096U}) {
        SCOPED_TRACE(testing::Message() << r.what << " chunk " << chunk << " room " << room);
        support::drive_options options;
        options.in_chunk = chunk;
        options.out_chunk = room;
        options.moves_with_input = true;
        const auto got = isal_decompress(stream, r.read, 15, options);
        ASSERT_TRUE(got.finished);
        ASSERT_EQ(got.output, data);
        ASSERT_EQ(got.consumed, size);
      }
    }
  }
}

// A stream cut short anywhere fails under finish as input that ends too soon, never as corrupt.
TEST(isal_coder_test, truncation_at_every_byte_is_buf_error) {
  const bytes data = mixed_sample(600);
  for (const header_type header : framings) {
    const bytes stream = support::zlib_deflate(data, 6, support::zlib_window(read_as(header)));
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
      const bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      for (const std::size_t chunk : {1U, 7U, 65536U}) {
        SCOPED_TRACE(testing::Message()
                     << zl::image(header) << " cut " << cut << " chunk " << chunk);
        support::drive_options options;
        options.in_chunk = options.out_chunk = chunk;
        try {
          isal_decompress(part, header, 15, options);
          ADD_FAILURE() << "no error";
        } catch (const zl::zlib_error& e) {
          ASSERT_EQ(e.code(), return_code_enum::BUF_ERROR) << e.what();
          ASSERT_EQ(std::string(e.what()).rfind("BUF_ERROR: ", 0), 0U);
        }
      }
    }
  }
}

// Broken framing cut at every byte: the ISA-L coder judges each prefix as the zlib coder does,
// corrupt or cut short, so that generic code sees the same verdict from either engine.
TEST(isal_coder_test, framing_judged_at_the_bytes_zlib_judges_it) {
  const bytes data = mixed_sample(300);
  bytes bad_crc = support::zlib_deflate(data, 6, 31);
  bad_crc[bad_crc.size() - 8] ^= 1;
  bytes bad_method = support::zlib_deflate(data, 6, 31);
  bad_method[2] = 7;
  bytes bad_magic = support::zlib_deflate(data, 6, 31);
  bad_magic[0] = 0x1E;
  bytes dictionary{0x78, 0xBB, 1, 2, 3, 4};  // FDICT and a dictionary identifier
  const bytes deflated = support::zlib_deflate(data, 6, -15);
  dictionary.insert(dictionary.end(), deflated.begin(), deflated.end());
  struct row {
    const char* name;
    const bytes& stream;
    header_type header;
  };
  const row rows[] = {{"bad crc", bad_crc, header_type::GZIP},
                      {"bad crc", bad_crc, header_type::AUTO},
                      {"bad method", bad_method, header_type::GZIP},
                      {"bad magic", bad_magic, header_type::GZIP},
                      {"dictionary", dictionary, header_type::DEFAULT}};
  // The code of one finish call over the prefix with all the room it needs; OK for none.
  const auto verdict = [](wrenfold::coders::coder_interface& coder, const bytes& prefix) {
    bytes room(4096);
    try {
      (void)coder.transcode(prefix, room, flush_mode::finish);
    } catch (const zl::zlib_error& e) {
      return e.code();
    }
    return return_code_enum::OK;
  };
  for (const auto& r : rows) {
    const std::size_t from = r.stream.size() > 20 ? r.stream.size() - 10 : 1;
    for (std::size_t cut = 1; cut <= r.stream.size(); cut = cut == 12 ? from : cut + 1) {
      SCOPED_TRACE(testing::Message() << r.name << " " << zl::image(r.header) << " cut " << cut);
      const bytes prefix(r.stream.begin(), r.stream.begin() + static_cast<std::ptrdiff_t>(cut));
      zl::coder_type zlib_coder;
      zlib_coder.inflate_init(15, r.header);
      is::coder_type isal_coder;
      isal_coder.inflate_init(15, r.header);
      EXPECT_EQ(verdict(isal_coder, prefix), verdict(zlib_coder, prefix));
    }
  }
}

TEST(isal_coder_test, corrupt_input_fails_with_the_verdict) {
  const bytes data = mixed_sample(2000);
  const bytes zlib_stream = support::zlib_deflate(data, 6, 15);
  const bytes gzip_stream = support::zlib_deflate(data, 6, 31);
  auto changed = [](bytes stream, std::ptrdiff_t at, element value) {
    stream[static_cast<std::size_t>(at < 0 ? static_cast<std::ptrdiff_t>(stream.size()) + at
                                           : at)] = value;
    return stream;
  };
  bytes bad_hcrc = rich_gzip_member(data);
  {
    // The header CRC sits just before the deflate data: after name, comment and extra.
    const std::string_view text(reinterpret_cast<const char*>(bad_hcrc.data()), 64);
    const std::size_t comment_end = text.find("a comment") + 10;
    bad_hcrc[comment_end] ^= 0xFF;
  }
  const bytes dictionary(100, 'd');
  struct row {
    const char* what;
    bytes stream;
    header_type header;
    int window_bits;
    return_code_enum code;
    const char* text;
  };
  const row rows[] = {
      {"reserved block type",
       {0x07, 0x00},
       header_type::NONE,
       15,
       return_code_enum::DATA_ERROR,
       "ISA-L: invalid block"},
      {"distance before the start", support::zlib_deflate(dictionary, 6, -15, 0, 8, dictionary),
       header_type::NONE, 15, return_code_enum::DATA_ERROR, "ISA-L: invalid distance"},
      {"zlib header check", changed(zlib_stream, 1, 0x9D), header_type::DEFAULT, 15,
       return_code_enum::DATA_ERROR, "incorrect header check"},
      {"zlib window beyond the reader's", zlib_stream, header_type::DEFAULT, 9,
       return_code_enum::DATA_ERROR, "invalid window size"},
      {"zlib Adler-32", changed(zlib_stream, -1, 0), header_type::AUTO, 15,
       return_code_enum::DATA_ERROR, "incorrect data check"},
      {"zlib preset dictionary", support::zlib_deflate(data, 6, 15, 0, 8, dictionary),
       header_type::DEFAULT, 15, return_code_enum::NEED_DICT, "NEED_DICT: "},
      {"gzip method", changed(gzip_stream, 2, 7), header_type::GZIP, 15,
       return_code_enum::DATA_ERROR, "unknown compression method"},
      {"gzip reserved flag", changed(gzip_stream, 3, 0x20), header_type::AUTO, 15,
       return_code_enum::DATA_ERROR, "unknown header flags set"},
      {"gzip header CRC", bad_hcrc, header_type::GZIP, 15, return_code_enum::DATA_ERROR,
       "header crc mismatch"},
      {"gzip CRC-32", changed(gzip_stream, -8, 0), header_type::GZIP, 15,
       return_code_enum::DATA_ERROR, "incorrect data check"},
      {"gzip length", changed(gzip_stream, -1, 9), header_type::GZIP, 15,
       return_code_enum::DATA_ERROR, "incorrect length check"},
  };
  for (const auto& r : rows) {
    for (const std::size_t chunk : {1U, 7U, 65536U}) {
      SCOPED_TRACE(testing::Message() << r.what << " chunk " << chunk);
      support::drive_options options;
      options.in_chunk = options.out_chunk = chunk;
      try {
        isal_decompress(r.stream, r.header, r.window_bits, options);
        ADD_FAILURE() << "no error";
      } catch (const zl::zlib_error& e) {
        EXPECT_EQ(e.code(), r.code) << e.what();
        EXPECT_NE(std::string(e.what()).find(r.text), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(std::string(zl::image(r.code)) + ": ", 0), 0U);
      }
    }
  }
}

TEST(isal_coder_test, misuse_is_a_constraint_error_before_isal_runs) {
  bytes room(16);
  is::coder_type coder;
  EXPECT_FALSE(coder.is_open());
  EXPECT_THROW(coder.transcode(room, room, flush_mode::finish), constraint_error);
  EXPECT_THROW((void)coder.total_in(), constraint_error);
  for (const int level : {-1, 4, 9}) {
    EXPECT_THROW(coder.deflate_init(level), constraint_error);
  }
  for (const int window : {0, 7, 16, -15}) {
    EXPECT_THROW(coder.deflate_init(is::default_level, header_type::DEFAULT, window),
                 constraint_error);
    EXPECT_THROW(coder.inflate_init(window), constraint_error);
  }
  EXPECT_THROW(coder.inflate_init(15, static_cast<header_type>(4)), constraint_error);
  try {
    coder.deflate_init(7);
  } catch (const constraint_error& e) {
    EXPECT_NE(std::string(e.what()).find("level 7 outside 0 .. 3"), std::string::npos);
  }
  coder.deflate_init();
  EXPECT_THROW(coder.transcode(const_element_array(), element_array(), flush_mode::no_flush),
               constraint_error);
  // Arrays longer than ISA-L's 32-bit lengths, refused before a byte of them is read.
  const const_element_array huge_in(room.data(), std::size_t{1} << 32);
  const element_array huge_out(room.data(), std::size_t{1} << 32);
  EXPECT_THROW(coder.transcode(huge_in, room, flush_mode::no_flush), constraint_error);
  EXPECT_THROW(coder.transcode(room, huge_out, flush_mode::no_flush), constraint_error);
  EXPECT_THROW(coder.transcode(room, room, static_cast<flush_mode>(4)), constraint_error);
  EXPECT_EQ(coder.total_in(), 0);
  coder.close();
  EXPECT_FALSE(coder.is_open());
  EXPECT_THROW(coder.transcode(room, room, flush_mode::finish), constraint_error);
}

// Positions are in each array's own numbering, and totals count past 32 bits of ISA-L's own.
TEST(isal_coder_test, positions_in_the_arrays_numbering) {
  const bytes data = mixed_sample(5000);
  for (const header_type header : framings) {
    support::drive_options options;
    options.seed = 3;
    options.in_chunk = options.out_chunk = 300;
    options.draw_first = true;
    options.flush = flush_policy::mixed;
    const bytes packed = isal_compress(data, 2, header, 15, options);
    EXPECT_EQ(isal_decompress(packed, read_as(header), 15, options).output, data);
  }
}

// Totals count what the zlib coder's count, so generic code reads either engine alike: on gzip
// compression total_out leaves out the 18 framing bytes, which the zlib coder writes itself.
TEST(isal_coder_test, totals_as_the_zlib_coder_counts_them) {
  const bytes data = mixed_sample(5000);
  for (const header_type header : framings) {
    SCOPED_TRACE(zl::image(header));
    const auto framing =
        static_cast<wrenfold::coders::element_count>(header == header_type::GZIP ? 18 : 0);
    is::coder_type isal_coder;
    isal_coder.deflate_init(is::default_level, header);
    const bytes packed = support::pump(isal_coder, data, {.counts_framing = true});
    zl::coder_type zlib_coder;
    zlib_coder.deflate_init(1, zl::default_strategy, zl::deflated, zl::default_window_bits,
                            zl::default_memory_level, header);
    const bytes zlib_packed = support::pump(zlib_coder, data, {.counts_framing = true});
    EXPECT_EQ(isal_coder.total_in(), zlib_coder.total_in());
    EXPECT_EQ(isal_coder.total_out(),
              static_cast<wrenfold::coders::element_count>(packed.size()) - framing);
    EXPECT_EQ(zlib_coder.total_out(),
              static_cast<wrenfold::coders::element_count>(zlib_packed.size()) - framing);

    isal_coder.inflate_init(15, read_as(header));
    EXPECT_EQ(support::pump(isal_coder, packed), data);
    EXPECT_EQ(isal_coder.total_in(), static_cast<wrenfold::coders::element_count>(packed.size()));
    EXPECT_EQ(isal_coder.total_out(), static_cast<wrenfold::coders::element_count>(data.size()));
  }
}

// Regression cases for what ISA-L 2.30 does on its own.
TEST(isal_coder_test, isal_traps) {
  const bytes data = mixed_sample(20000);
  // At level 0 a sync flush given a few bytes of room at a time never completes in ISA-L.
  for (const std::size_t room : {1U, 2U, 5U, 7U}) {
    support::drive_options options;
    options.in_chunk = 5000;
    options.out_chunk = room;
    options.flush = flush_policy::sync_then_finish;
    options.flush_chunks = true;
    const bytes packed = isal_compress(data, 0, header_type::DEFAULT, 15, options);
    EXPECT_EQ(support::zlib_inflate(packed, 15).output, data) << room;
  }
  // ISA-L writes 78 01 whatever the window; zlib refuses that at a smaller window.
  for (int window = 8; window <= 15; ++window) {
    const bytes packed = isal_compress(data, 1, header_type::DEFAULT, window);
    EXPECT_EQ(packed[0], static_cast<element>(((window - 8) << 4) | 8)) << window;
    EXPECT_EQ(support::zlib_inflate(packed, window).output, data) << window;
  }
  // A repeated flush with nothing new writes no second marker.
  {
    is::coder_type coder;
    coder.deflate_init(is::fastest, header_type::NONE);
    bytes room(64 * 1024);
    auto [in_last, out_last] = coder.transcode(data, room, flush_mode::sync_flush);
    EXPECT_EQ(in_last, static_cast<std::int64_t>(data.size()) - 1);
    EXPECT_LT(out_last, static_cast<std::int64_t>(room.size()) - 1);
    const auto again = coder.transcode({}, room, flush_mode::sync_flush);
    EXPECT_EQ(again.out_last, -1);
  }
  // Level 1's size against zlib level 1's on text: within 1%.
  const bytes text = support::make_text(1 << 20);
  const double isal_size =
      static_cast<double>(isal_compress(text, 1, header_type::NONE, 15).size());
  const double zlib_size = static_cast<double>(support::zlib_deflate(text, 1, -15).size());
  EXPECT_LE(isal_size, 1.01 * zlib_size);
}

}  // namespace

namespace {

// The layers on the ISA-L coder are the zlib coder's, with ISA-L's raw inflater: one-shot calls
// in every framing and level, and every member of a gzip file, padding and trailing data judged
// as zlib::decompress judges them.
TEST(isal_layers_test, one_shot_calls_and_members_as_the_zlib_layers) {
  const bytes data = mixed_sample(150000);
  for (const header_type header : framings) {
    for (int level = is::fastest; level <= is::best_level; ++level) {
      SCOPED_TRACE(testing::Message() << header << " level " << level);
      const bytes packed = is::compress(data, {.level = level, .header = header});
      const header_type reading = header == header_type::NONE ? header : header_type::AUTO;
      EXPECT_EQ(zl::decompress(packed, {.header = reading}), data);
      EXPECT_EQ(is::decompress(packed, {.header = reading}), data);
    }
  }

  const bytes first = zl::compress(data, {.header = header_type::GZIP});
  const bytes second =
      is::compress(support::sample(support::data_shape::text, 999), {.header = header_type::GZIP});
  bytes file = first;
  file.insert(file.end(), second.begin(), second.end());
  file.insert(file.end(), 7, 0);  // padding
  const bytes expected = zl::decompress(file);
  EXPECT_EQ(is::decompress(file), expected);
  is::member_decoder decoder;
  decoder.inflate_init();
  EXPECT_EQ(support::pump(decoder, file, {.in_chunk = 7, .out_chunk = 5}), expected);
  EXPECT_EQ(decoder.members(), 2);

  file.push_back('x');
  for (auto decode : {&zl::decompress, &is::decompress}) {
    try {
      decode(file, {});
      ADD_FAILURE() << "trailing data accepted";
    } catch (const zl::zlib_error& error) {
      EXPECT_EQ(error.code(), return_code_enum::DATA_ERROR);
    }
  }
  EXPECT_THROW(is::compress(data, {.level = 4}), constraint_error);
  EXPECT_THROW(is::compress(data, {.window_bits = 31}), constraint_error);
}

}  // namespace
