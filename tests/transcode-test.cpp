// The transcoding step: round trips in every framing and buffer shape, the judgement of zlib's
// results (BUF_ERROR above all), positions in the caller's numbering, and misuse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::HasSubstr;
using testing::StartsWith;
using testing::ThrowsMessage;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::flush_mode;
using wrenfold::coders::transcode_result;
using zl::coder_type;
using zl::header_type;
using zl::zlib_error;

// header x buffer size x data shape, with random chunking in both directions.
class round_trip_test
    : public testing::TestWithParam<std::tuple<header_type, std::size_t, data_shape>> {};

TEST_P(round_trip_test, decodes_to_the_input_with_zlib_and_with_the_coder) {
  const auto [header, buffer, shape] = GetParam();
  const auto input = sample(shape, buffer < 64 ? 3000 : 150000, 7);
  const drive_options options{.in_chunk = buffer,
                              .out_chunk = buffer,
                              .seed = 11,
                              .first = -3,
                              .counts_framing = header == header_type::GZIP};
  coder_type coder;
  open_compressor(coder, header);
  const auto packed = pump(coder, input, options);
  EXPECT_EQ(inflate_whole(packed, zlib_window(header, 15, coding::compress)), input);

  std::vector<header_type> decoders{header};
  if (header == header_type::DEFAULT || header == header_type::GZIP) {
    decoders.push_back(header_type::AUTO);
  }
  for (const auto decoder : decoders) {
    SCOPED_TRACE(decoder);
    coder.inflate_init(zl::default_window_bits, decoder);
    EXPECT_EQ(pump(coder, packed, {.in_chunk = buffer, .out_chunk = buffer, .seed = 5}), input);
    EXPECT_TRUE(coder.finished());
  }
}

INSTANTIATE_TEST_SUITE_P(headers_and_buffers, round_trip_test,
                         testing::Combine(testing::Values(header_type::NONE, header_type::AUTO,
                                                          header_type::DEFAULT, header_type::GZIP),
                                          testing::Values(std::size_t{1}, std::size_t{7},
                                                          std::size_t{4096}, std::size_t{1} << 16),
                                          testing::Values(data_shape::text, data_shape::random,
                                                          data_shape::zeros)),
                         [](const auto& param) {
                           std::ostringstream name;
                           name << std::get<0>(param.param) << '_' << std::get<1>(param.param)
                                << '_' << static_cast<int>(std::get<2>(param.param));
                           return name.str();
                         });

TEST(transcode_test, every_level_strategy_and_flush_round_trips) {
  const auto input = sample(data_shape::text, 40000, 3);
  for (int level = zl::no_compression; level <= zl::best_compression; ++level) {
    for (int strategy : {zl::default_strategy, zl::filtered, zl::huffman_only, zl::rle}) {
      SCOPED_TRACE(testing::Message() << "level " << level << " strategy " << strategy);
      coder_type coder;
      coder.deflate_init(level, strategy);
      // A sync and a full flush in the middle, as a client that streams messages would.
      bytes packed(deflateBound(nullptr, input.size()) + 64);
      std::size_t in_at = 0, out_at = 0;
      for (auto [end, flush] :
           {std::pair{10000u, flush_mode::sync_flush}, std::pair{25000u, flush_mode::full_flush},
            std::pair{40000u, flush_mode::finish}}) {
        const auto [in_last, out_last] =
            coder.transcode(const_element_array(input.data() + in_at, end - in_at),
                            element_array(packed.data() + out_at, packed.size() - out_at), flush);
        in_at += static_cast<std::size_t>(in_last + 1);
        out_at += static_cast<std::size_t>(out_last + 1);
      }
      EXPECT_TRUE(coder.finished());
      packed.resize(out_at);
      EXPECT_EQ(inflate_whole(packed, 15), input);
    }
  }
}

// A coder brought into a state, then one call, then the verdict.
struct buf_error_row {
  const char* what;
  std::function<void(coder_type&)> prepare;
  std::size_t in_size;
  std::size_t out_size;
  flush_mode flush;
  bool succeeds;
};

void feed(coder_type& coder, std::span<const element> input, flush_mode flush) {
  bytes room(1 << 16);
  coder.transcode(const_element_array(input.data(), input.size()),
                  element_array(room.data(), room.size()), flush);
}

TEST(transcode_test, buf_error_is_excused_only_where_it_means_nothing_left_to_do) {
  static const auto text = sample(data_shape::text, 20000);
  static const auto packed = zlib_deflate(text, 6, 15);
  const auto compressor_with_input = [](coder_type& coder) {
    coder.deflate_init();
    feed(coder, text, flush_mode::no_flush);
  };
  const auto flushed_compressor = [&](flush_mode flush) {
    return [&, flush](coder_type& coder) {
      compressor_with_input(coder);
      feed(coder, {}, flush);
    };
  };
  const auto fresh_compressor_flushed = [](coder_type& coder) {
    coder.deflate_init();
    feed(coder, {}, flush_mode::sync_flush);
  };
  const auto ended_compressor = [&](coder_type& coder) {
    compressor_with_input(coder);
    feed(coder, {}, flush_mode::finish);
    ASSERT_TRUE(coder.finished());
  };
  const auto truncated_decompressor = [](coder_type& coder) {
    coder.inflate_init();
    feed(coder, std::span(packed).first(packed.size() / 2), flush_mode::no_flush);
  };
  const buf_error_row rows[] = {
      {"no_flush with nothing new", compressor_with_input, 0, 100, flush_mode::no_flush, false},
      {"repeated sync flush", flushed_compressor(flush_mode::sync_flush), 0, 100,
       flush_mode::sync_flush, true},
      {"repeated full flush", flushed_compressor(flush_mode::full_flush), 0, 100,
       flush_mode::full_flush, true},
      {"sync flush before any input", fresh_compressor_flushed, 0, 100, flush_mode::sync_flush,
       false},
      {"input after the end", ended_compressor, 10, 100, flush_mode::finish, false},
      {"input with no output room", compressor_with_input, 10, 0, flush_mode::no_flush, false},
      {"input with no output room, sync", compressor_with_input, 10, 0, flush_mode::sync_flush,
       false},
      {"input with no output room, finish", compressor_with_input, 10, 0, flush_mode::finish,
       false},
      {"truncated stream, finish", truncated_decompressor, 0, 100, flush_mode::finish, false},
      {"truncated stream, sync", truncated_decompressor, 0, 100, flush_mode::sync_flush, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    coder_type coder;
    row.prepare(coder);
    const bytes input(row.in_size, 'a');
    bytes room(row.out_size);
    const const_element_array in(input.data(), input.size(), 50);
    const element_array out(room.data(), room.size(), -20);
    const auto in_before = coder.total_in();
    if (row.succeeds) {
      const auto result = coder.transcode(in, out, row.flush);
      EXPECT_EQ(result.in_last, 49);
      EXPECT_EQ(result.out_last, -21);
    } else {
      try {
        coder.transcode(in, out, row.flush);
        ADD_FAILURE() << "accepted";
      } catch (const zlib_error& error) {
        EXPECT_THAT(error.what(), StartsWith("BUF_ERROR: "));
        EXPECT_EQ(error.code(), zl::return_code_enum::BUF_ERROR);
      }
      EXPECT_EQ(coder.total_in(), in_before);
    }
  }
}

TEST(transcode_test, finish_that_makes_progress_succeeds_even_when_zlib_says_buf_error) {
  // inflate answers BUF_ERROR under finish until the stream is complete, even in a call that
  // consumed input and wrote output; the positions of such a call must reach the caller.
  const auto input = sample(data_shape::text, 50000);
  const auto packed = zlib_deflate(input, 6, 15);
  coder_type coder;
  coder.inflate_init();
  // All the input left on every call, so every call is a finish, with 1000 bytes of room.
  drive_state state;
  drive(coder, packed, {.in_chunk = packed.size(), .out_chunk = 1000, .call_budget = 1000}, state);
  ASSERT_TRUE(coder.finished());
  EXPECT_GT(state.calls, 1u);
  EXPECT_EQ(state.consumed, packed.size());
  EXPECT_EQ(state.output, input);
}

TEST(transcode_test, reports_positions_in_the_callers_numbering) {
  // A short stream followed by other bytes, all handed over as indexes 100 .. 199.
  auto data = zlib_deflate(sample(data_shape::zeros, 5000), 9, 15);
  const auto stream_size = static_cast<std::int64_t>(data.size());
  data.resize(100, 0xAA);
  bytes room(10000);
  coder_type coder;
  coder.inflate_init();
  const auto [in_last, out_last] =
      coder.transcode(const_element_array(data.data(), data.size(), 100),
                      element_array(room.data(), room.size(), -5000), flush_mode::no_flush);
  EXPECT_TRUE(coder.finished());
  EXPECT_EQ(in_last, 100 + stream_size - 1);
  EXPECT_EQ(out_last, -1);
  EXPECT_EQ(coder.total_in(), stream_size);
}

TEST(transcode_test, corrupt_streams_fail_with_zlibs_verdict_and_text) {
  const auto input = sample(data_shape::text, 5000);
  struct corrupt_row {
    const char* what;
    header_type header;
    bytes data;
    std::string message;
  };
  auto flipped = zlib_deflate(input, 6, 15);
  flipped[flipped.size() - 2] ^= 0xFF;  // inside the Adler-32 trailer
  auto bad_crc = zlib_deflate(input, 6, 31);
  bad_crc[bad_crc.size() - 6] ^= 0x01;
  const corrupt_row rows[] = {
      {"not zlib", header_type::DEFAULT, bytes(50, 'x'), "DATA_ERROR: incorrect header check"},
      {"not gzip", header_type::GZIP, bytes(50, 'x'), "DATA_ERROR: incorrect header check"},
      {"not either", header_type::AUTO, bytes(50, 'x'), "DATA_ERROR: incorrect header check"},
      {"bad Adler-32", header_type::DEFAULT, flipped, "DATA_ERROR: incorrect data check"},
      {"bad CRC-32", header_type::GZIP, bad_crc, "DATA_ERROR: incorrect data check"},
      {"bad block type", header_type::NONE, bytes{0x07, 0, 0, 0}, "DATA_ERROR: invalid block type"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    coder_type coder;
    coder.inflate_init(15, row.header);
    EXPECT_THAT([&] { pump(coder, row.data); }, ThrowsMessage<zlib_error>(row.message));
    coder.inflate_init(15, row.header);
    try {
      pump(coder, row.data);
    } catch (const zlib_error& error) {
      EXPECT_EQ(error.code(), zl::return_code_enum::DATA_ERROR);
    }
    coder.inflate_init();  // still usable
    EXPECT_EQ(pump(coder, zlib_deflate(input, 1, 15)), input);
  }
}

// zlib and gzip carry check values, so no flipped bit may decode to other bytes.
TEST(transcode_test, every_single_bit_flip_fails_cleanly_or_decodes_exactly) {
  const auto input = sample(data_shape::text, 300, 9);
  const std::pair<header_type, int> framings[] = {{header_type::DEFAULT, 15},
                                                  {header_type::GZIP, 31},
                                                  {header_type::AUTO, 31},
                                                  {header_type::AUTO, 15}};
  for (const auto& [decoder, window] : framings) {
    SCOPED_TRACE(testing::Message() << decoder << ' ' << window);
    const auto packed = zlib_deflate(input, 6, window);
    coder_type coder;
    for (std::size_t bit = 0; bit < packed.size() * 8; ++bit) {
      auto damaged = packed;
      damaged[bit / 8] ^= static_cast<element>(1u << (bit % 8));
      coder.inflate_init(zl::default_window_bits, decoder);
      try {
        EXPECT_EQ(pump(coder, damaged, {.in_chunk = 64, .out_chunk = 64}), input) << "bit " << bit;
      } catch (const zlib_error& e) {
        EXPECT_THAT(e.what(), testing::MatchesRegex("[A-Z_]+: .*")) << "bit " << bit;
      }
    }
  }
}

TEST(transcode_test, misuse_is_refused_before_zlib_runs) {
  element byte = 0;
  bytes room(64);
  const auto input = sample(data_shape::text, 64);
  for (const bool open : {false, true}) {
    for (const auto flush : {flush_mode::no_flush, flush_mode::sync_flush, flush_mode::finish}) {
      coder_type coder;
      if (open) coder.inflate_init();
      EXPECT_THROW(coder.transcode({}, {}, flush), constraint_error);
      EXPECT_THROW(coder.transcode(const_element_array(nullptr, 0, 9),
                                   element_array(room.data(), 0, -9), flush),
                   constraint_error);
    }
  }
  coder_type coder;
  coder.deflate_init();
  const element_array out(room.data(), room.size());
  const const_element_array in(input.data(), input.size());
  // Arrays longer than zlib can take: their lengths are checked before any byte is touched.
  EXPECT_THROW(
      coder.transcode(const_element_array(&byte, std::size_t{1} << 32), out, flush_mode::no_flush),
      constraint_error);
  EXPECT_THROW(coder.transcode(in, element_array(&byte, std::size_t{1} << 32), flush_mode::finish),
               constraint_error);
  EXPECT_THROW(coder.transcode(in, out, static_cast<flush_mode>(4)), constraint_error);
  EXPECT_EQ(coder.total_in(), 0);
  EXPECT_EQ(inflate_whole(pump(coder, input), 15), input);
}

}  // namespace
