// The parallel compressor: the same bytes for every thread count and any way of handing the
// input over, one stream that zlib reads back, flushes that make everything so far decodable,
// misuse refused, and no hang or leak whenever it is destroyed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <wrenfold/coders-zlib-parallel.hpp>

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
namespace wc = wrenfold::coders;
using namespace wrenfold::testing;
using testing::HasSubstr;
using wc::element;
using wc::flush_mode;
using zl::header_type;

constexpr std::size_t block = 4096;

bytes parallel_compress(unsigned threads, const bytes& data, const zl::deflate_options& options,
                        drive_options drive = {}, std::size_t block_size = block) {
  zl::parallel_compressor compressor(threads);
  compressor.deflate_init(options, block_size);
  drive.counts_framing = options.header == header_type::GZIP;
  return pump(compressor, data, drive);
}

int read_window(header_type header) {
  return zlib_window(header == header_type::AUTO ? header_type::DEFAULT : header);
}

// One call with everything and finish, against many threads with the input and room drawn down
// to single bytes: the bytes are the same, and they are one stream holding exactly the input.
TEST(parallel_compressor_test, same_bytes_for_every_thread_count_and_chunking) {
  const bytes text = sample(data_shape::text, 200000);
  for (const std::size_t size : {0UL, 1UL, block - 1, block, block + 1, 5 * block + 17, 200000UL}) {
    const bytes data(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
    for (const header_type header :
         {header_type::NONE, header_type::AUTO, header_type::DEFAULT, header_type::GZIP}) {
      SCOPED_TRACE(testing::Message() << "size " << size << " " << header);
      const zl::deflate_options options{.header = header};
      const bytes reference =
          parallel_compress(1, data, options, {.in_chunk = data.size() + 1, .out_chunk = 1 << 20});
      EXPECT_EQ(inflate_whole(reference, read_window(header)), data);
      EXPECT_EQ(zl::decompress(reference, {.header = header}), data);  // and the zlib coder
      for (const unsigned threads : {2U, 3U, 8U}) {
        const std::uint32_t seed = threads;
        EXPECT_EQ(parallel_compress(threads, data, options,
                                    {.in_chunk = 3 * block,
                                     .out_chunk = threads == 3 ? 1U : 9000U,
                                     .seed = seed,
                                     .draw_first = true}),
                  reference)
            << threads << " threads";
      }
    }
  }
}

// Every option reaches the workers' streams: each row's stream reads back with zlib.
TEST(parallel_compressor_test, options_as_the_coder_takes_them) {
  const bytes data = sample(data_shape::text, 30000);
  const zl::deflate_options rows[] = {
      {.level = zl::no_compression, .header = header_type::GZIP},
      {.level = zl::best_speed, .strategy = zl::filtered},
      {.level = zl::best_compression, .memory_level = 9, .header = header_type::NONE},
      {.strategy = zl::huffman_only, .window_bits = 8, .header = header_type::GZIP},
      {.strategy = zl::rle, .window_bits = 9},
      {.strategy = 4 /* fixed codes */, .window_bits = 10, .memory_level = 1},
  };
  for (const auto& options : rows) {
    SCOPED_TRACE(testing::Message() << "level " << options.level << " strategy " << options.strategy
                                    << " window " << options.window_bits << " " << options.header);
    const bytes packed = parallel_compress(2, data, options, {}, 1024);
    const int window = options.header == header_type::NONE   ? -options.window_bits
                       : options.header == header_type::GZIP ? 16 + options.window_bits
                                                             : options.window_bits;
    EXPECT_EQ(inflate_whole(packed, window), data);
  }
}

// Input handed over in chunks drawn from plan_seed, each ended by a drawn flush (or none), with
// output room drawn from room_seed: the flush positions depend on plan_seed alone.
bytes compress_planned(unsigned threads, const bytes& data, header_type header,
                       std::uint32_t plan_seed, std::uint32_t room_seed) {
  zl::parallel_compressor compressor(threads);
  compressor.deflate_init({.header = header}, block);
  wrenfold::support::draws plan(plan_seed), room_draws(room_seed);
  bytes out, room;
  std::size_t at = 0;
  for (bool last = false; !compressor.finished();) {
    const std::size_t end = last ? data.size() : std::min(data.size(), at + 1 + plan.below(9000));
    last = end == data.size();
    const auto flush = last ? flush_mode::finish : static_cast<flush_mode>(plan.below(3));
    for (bool more = true; more;) {
      room.resize(8 + room_draws.below(5000));
      const auto [in_last, out_last] = compressor.transcode(
          wc::const_element_array(data.data() + at, end - at), wc::element_array(room), flush);
      at += static_cast<std::size_t>(in_last + 1);
      const auto written = static_cast<std::size_t>(out_last + 1);
      out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(written));
      // Done with the chunk once it is taken and, for a flush, once room is left over.
      more = at != end || (flush != flush_mode::no_flush && written == room.size());
      if (flush == flush_mode::finish) more = !compressor.finished();
    }
  }
  return out;
}

// Drawn flushes in the middle: the same bytes for 1 and 4 threads whatever the room, and zlib
// reads them back. A sync flush makes all input so far decodable; after a full flush the rest
// decodes alone.
TEST(parallel_compressor_test, flushes) {
  const bytes data = sample(data_shape::text, 60000);
  for (const header_type header : {header_type::NONE, header_type::GZIP}) {
    for (const std::uint32_t plan : {1U, 2U, 3U}) {
      const bytes one = compress_planned(1, data, header, plan, 5);
      EXPECT_EQ(compress_planned(4, data, header, plan, 6), one);
      EXPECT_EQ(inflate_whole(one, read_window(header)), data);
    }
  }

  const std::size_t half = 25000;
  for (const flush_mode flush : {flush_mode::sync_flush, flush_mode::full_flush}) {
    zl::parallel_compressor compressor(3);
    compressor.deflate_init({.header = header_type::NONE}, block);
    bytes out(100000);
    // One call: all the room it needs, so leaving room over is the sign the flush is complete.
    const auto [in_last, out_last] = compressor.transcode(
        wc::const_element_array(data.data(), half), wc::element_array(out), flush);
    ASSERT_EQ(in_last, static_cast<wc::element_index>(half) - 1);
    ASSERT_LT(out_last + 1, static_cast<wc::element_index>(out.size()));
    const auto flushed = static_cast<std::size_t>(out_last + 1);
    EXPECT_EQ(inflate_so_far(std::span(out.data(), flushed), -15),
              bytes(data.begin(), data.begin() + half));
    const bytes rest = pump(compressor, std::span(data).subspan(half));
    if (flush == flush_mode::full_flush) {
      EXPECT_EQ(inflate_whole(rest, -15), bytes(data.begin() + half, data.end()));
    }
  }
}

TEST(parallel_compressor_test, misuse_is_refused) {
  struct row {
    zl::deflate_options options;
    std::size_t block_size;
    const char* text;
  };
  const row rows[] = {
      {{.level = 10}, block, "level 10 outside -1..9"},
      {{.window_bits = 16}, block, "window_bits 16"},
      {{.memory_level = 0}, block, "memory_level 0"},
      {{.strategy = 5}, block, "strategy 5"},
      {{}, 1023, "block_size 1023 outside 1024..67108864"},
      {{}, (std::size_t{64} << 20) + 1, "block_size 67108865"},
  };
  zl::parallel_compressor compressor(2);
  for (const auto& r : rows) {
    EXPECT_THAT([&] { compressor.deflate_init(r.options, r.block_size); },
                testing::ThrowsMessage<wc::constraint_error>(HasSubstr(r.text)));
  }
  EXPECT_THAT([] { zl::parallel_compressor too_many(1025); },
              testing::ThrowsMessage<wc::constraint_error>(HasSubstr("threads 1025")));

  bytes room(64);
  const bytes input(10, 'a');
  EXPECT_FALSE(compressor.is_open());
  EXPECT_THROW(compressor.transcode(input, room, flush_mode::finish), wc::constraint_error);
  EXPECT_THROW((void)compressor.total_in(), wc::constraint_error);
  compressor.deflate_init();
  EXPECT_THROW(compressor.transcode({}, wc::element_array(), flush_mode::finish),
               wc::constraint_error);

  // Nothing to take, nothing to flush, nothing in flight: the coder's BUF_ERROR.
  compressor.deflate_init({.header = header_type::NONE});
  try {
    compressor.transcode({}, room, flush_mode::no_flush);
    ADD_FAILURE() << "no error";
  } catch (const zl::zlib_error& error) {
    EXPECT_EQ(error.code(), zl::return_code_enum::BUF_ERROR);
  }

  // Input after finish fails, and keeps failing, until the compressor is opened again.
  compressor.deflate_init();
  (void)compressor.transcode(input, room, flush_mode::finish);
  for (int i = 0; i < 2; ++i) {
    try {
      compressor.transcode(input, room, flush_mode::finish);
      ADD_FAILURE() << "no error";
    } catch (const zl::zlib_error& error) {
      EXPECT_EQ(error.code(), zl::return_code_enum::STREAM_ERROR);
      EXPECT_THAT(error.what(), HasSubstr("input after finish"));
    }
  }
  compressor.deflate_init({.header = header_type::GZIP});
  EXPECT_EQ(inflate_whole(pump(compressor, input, {.counts_framing = true}), 31), input);
  compressor.close();
  EXPECT_FALSE(compressor.is_open());
  EXPECT_FALSE(compressor.finished());
}

// Destroyed or reopened with blocks queued and running, output not taken: no hang, no leak
// (the sanitizer and valgrind runs of this test see to the leak), and a reopened compressor
// starts a clean stream.
TEST(parallel_compressor_test, destroyed_or_reopened_at_any_point) {
  const bytes data = sample(data_shape::text, 1 << 20);
  bytes one(1);
  for (int reopen = 0; reopen < 2; ++reopen) {
    zl::parallel_compressor compressor(2);
    compressor.deflate_init({.level = 9}, 64 * 1024);
    (void)compressor.transcode(data, one, flush_mode::no_flush);
    (void)compressor.transcode(data, one, flush_mode::sync_flush);
    if (reopen == 1) {
      compressor.deflate_init({.header = header_type::GZIP}, 1024);
      EXPECT_EQ(compressor.total_in(), 0);
      EXPECT_EQ(
          inflate_whole(pump(compressor, data, {.out_chunk = 777, .counts_framing = true}), 31),
          data);
      compressor.deflate_init();
      (void)compressor.transcode(data, one, flush_mode::finish);
    }
  }
}

}  // namespace
