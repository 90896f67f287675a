// Sizes beyond zlib's 32-bit fields: an array longer than zlib can take is refused before any
// of its bytes is touched, and a stream of more than 4 GiB keeps 64-bit totals, a gzip size
// field modulo 2^32 and the CRC-32 of all its input, on every engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>
#include <wrenfold/coders-zlib-parallel.hpp>
#ifdef WRENFOLD_HAVE_ISAL
#include <wrenfold/coders-isal.hpp>
#endif

#include "support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using wrenfold::coders::const_element_array;
using wrenfold::coders::constraint_error;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::flush_mode;
using zl::coder_type;
using zl::header_type;

constexpr std::size_t too_long = (std::size_t{1} << 32) + 4096;

// Address space mapped for the test alone: with PROT_NONE any access is a crash, so an array
// over it shows that the coder refused the array without touching it; with PROT_READ it reads
// as zeros that take no memory, an input of GiBs.
class mapped_region {
 public:
  mapped_region(std::size_t size, int protection)
      : size_(size),
        start_(
            mmap(nullptr, size, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
  ~mapped_region() {
    if (start_ != MAP_FAILED) munmap(start_, size_);
  }
  mapped_region(const mapped_region&) = delete;
  mapped_region& operator=(const mapped_region&) = delete;

  bool mapped() const { return start_ != MAP_FAILED; }
  element* data() const { return static_cast<element*>(start_); }

 private:
  std::size_t size_;
  void* start_;
};

struct oversize_row {
  const char* what;
  bool compressing;
  header_type header;
  bool huge_in;
  bool huge_out;
};

TEST(huge_sizes_test, arrays_longer_than_zlib_can_take_are_refused_untouched) {
  const mapped_region region(too_long, PROT_NONE);
  ASSERT_TRUE(region.mapped()) << std::strerror(errno);
  const auto text = sample(data_shape::text, 50000, 2);
  const auto packed_zlib = zlib_deflate(text, 6, 15);
  const auto packed_gzip = zlib_deflate(text, 6, 31);
  const oversize_row rows[] = {
      {"compress, huge input", true, header_type::DEFAULT, true, false},
      {"compress, huge output", true, header_type::DEFAULT, false, true},
      {"compress raw, both huge", true, header_type::NONE, true, true},
      {"gzip compress, huge input", true, header_type::GZIP, true, false},
      {"gzip compress, huge output", true, header_type::GZIP, false, true},
      {"gzip compress, both huge", true, header_type::GZIP, true, true},
      {"decompress, huge input", false, header_type::DEFAULT, true, false},
      {"decompress, huge output", false, header_type::DEFAULT, false, true},
      {"decompress gzip, huge input", false, header_type::GZIP, true, false},
      {"decompress detected, huge output", false, header_type::AUTO, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto& input = row.compressing                      ? text
                        : row.header == header_type::DEFAULT ? packed_zlib
                                                             : packed_gzip;
    // Before any data (gzip header pending) and midway, after half the input went through.
    for (const bool midway : {false, true}) {
      SCOPED_TRACE(midway ? "midway" : "at the start");
      coder_type coder;
      if (row.compressing) {
        open_compressor(coder, row.header);
      } else {
        coder.inflate_init(zl::default_window_bits, row.header);
      }
      bytes output;
      std::size_t at = 0;
      if (midway) {
        bytes room(1 << 20);
        const auto [in_last, out_last] =
            coder.transcode(const_element_array(input.data(), input.size() / 2),
                            element_array(room.data(), room.size()), flush_mode::no_flush);
        at = static_cast<std::size_t>(in_last + 1);
        output.assign(room.begin(), room.begin() + (out_last + 1));
      }
      const auto in_before = coder.total_in();
      const auto out_before = coder.total_out();

      bytes room(100, 0x5A);
      const auto in = row.huge_in ? const_element_array(region.data(), too_long, -3)
                                  : const_element_array(input.data() + at, input.size() - at, -3);
      const auto out = row.huge_out ? element_array(region.data(), too_long, 1 - (1LL << 40))
                                    : element_array(room.data(), room.size(), 7);
      EXPECT_THROW(coder.transcode(in, out, flush_mode::no_flush), constraint_error);
      EXPECT_THROW(coder.transcode(in, out, flush_mode::finish), constraint_error);
      EXPECT_EQ(coder.total_in(), in_before);
      EXPECT_EQ(coder.total_out(), out_before);
      EXPECT_FALSE(coder.finished());
      if (row.header != header_type::GZIP || !row.compressing) {
        EXPECT_THAT(room, testing::Each(0x5A));
      }

      // The stream goes on as if the refused calls had never been made.
      const auto rest = pump(coder, std::span(input).subspan(at),
                             {.out_chunk = 7, .counts_framing = row.compressing});
      output.insert(output.end(), rest.begin(), rest.end());
      if (row.compressing) {
        EXPECT_EQ(inflate_whole(output, zlib_window(row.header, 15, coding::compress)), text);
      } else {
        EXPECT_EQ(output, text);
      }
    }
  }
}

TEST(huge_sizes_test, gzip_header_bytes_do_not_excuse_a_huge_input) {
  // Room that only the pending header bytes fill: no zlib call would follow, yet the input
  // array is still misuse.
  const mapped_region region(too_long, PROT_NONE);
  ASSERT_TRUE(region.mapped()) << std::strerror(errno);
  coder_type coder;
  open_compressor(coder, header_type::GZIP);
  bytes room(4);
  EXPECT_THROW(coder.transcode(const_element_array(region.data(), too_long),
                               element_array(room.data(), room.size()), flush_mode::no_flush),
               constraint_error);
  const auto text = sample(data_shape::text, 3000, 8);
  EXPECT_EQ(inflate_whole(pump(coder, text, {.out_chunk = 9, .counts_framing = true}), 31), text);
}

// A compressor and a decoder of one engine, each opened for a gzip member.
struct engine_row {
  const char* name;
  std::function<std::unique_ptr<wrenfold::coders::coder_interface>()> compressor;
  std::function<std::unique_ptr<wrenfold::coders::coder_interface>()> decoder;
};

std::unique_ptr<wrenfold::coders::coder_interface> zlib_decoder() {
  auto coder = std::make_unique<coder_type>();
  coder->inflate_init(zl::default_window_bits, header_type::GZIP);
  return coder;
}

std::vector<engine_row> engine_rows() {
  std::vector<engine_row> rows{{"zlib",
                                [] {
                                  auto coder = std::make_unique<coder_type>();
                                  open_compressor(*coder, header_type::GZIP, zl::best_speed);
                                  return coder;
                                },
                                zlib_decoder},
                               {"parallel",
                                [] {
                                  auto compressor = std::make_unique<zl::parallel_compressor>(2);
                                  compressor->deflate_init(
                                      {.level = zl::best_speed, .header = header_type::GZIP},
                                      std::size_t{1} << 20);
                                  return compressor;
                                },
                                zlib_decoder}};
#ifdef WRENFOLD_HAVE_ISAL
  namespace is = wrenfold::coders::isal;
  rows.push_back({"isal",
                  [] {
                    auto coder = std::make_unique<is::coder_type>();
                    coder->deflate_init(is::default_level, header_type::GZIP);
                    return coder;
                  },
                  [] {
                    auto coder = std::make_unique<is::coder_type>();
                    coder->inflate_init(zl::default_window_bits, header_type::GZIP);
                    return coder;
                  }});
#endif
  return rows;
}

TEST(huge_sizes_test, gzip_stream_beyond_4_gib_keeps_64_bit_totals) {
  constexpr std::size_t block = std::size_t{64} << 20;
  constexpr auto block_length = static_cast<std::int64_t>(block);
  constexpr std::int64_t total = (std::int64_t{9} << 29) + 12345;  // 4.5 GiB and a bit
  const mapped_region zeros(static_cast<std::size_t>(total), PROT_READ);
  ASSERT_TRUE(zeros.mapped()) << std::strerror(errno);
  const std::span<const element> input(zeros.data(), static_cast<std::size_t>(total));

  // The CRC-32 of total zero bytes, from the checksum of one block.
  const auto block_crc = zl::crc32(0, const_element_array(zeros.data(), block));
  std::uint32_t crc = 0;
  std::int64_t counted = 0;
  for (; counted + block_length <= total; counted += block_length) {
    crc = static_cast<std::uint32_t>(crc32_combine(crc, block_crc, block_length));
  }
  crc =
      zl::crc32(crc, const_element_array(zeros.data(), static_cast<std::size_t>(total - counted)));
  const auto size_field = static_cast<std::uint32_t>(total);

  for (const auto& engine : engine_rows()) {
    SCOPED_TRACE(engine.name);
    const auto coder = engine.compressor();
    // Arrays numbered past 2^32, as positions in so long a stream are.
    const bytes member = pump(*coder, input,
                              {.in_chunk = block,
                               .out_chunk = std::size_t{1} << 20,
                               .first = total,
                               .counts_framing = true});
    EXPECT_EQ(coder->total_in(), total);
    EXPECT_EQ(coder->total_out() + 18, static_cast<std::int64_t>(member.size()));
    ASSERT_GE(member.size(), 18u);
    EXPECT_THAT(std::span(member).last(8),
                testing::ElementsAre(crc & 0xFF, (crc >> 8) & 0xFF, (crc >> 16) & 0xFF, crc >> 24,
                                     size_field & 0xFF, (size_field >> 8) & 0xFF,
                                     (size_field >> 16) & 0xFF, size_field >> 24));

    // The decoder checks CRC and size field itself while the member decodes back; the output
    // goes to a sink that checks it is all zeros instead of being held.
    const auto decoder = engine.decoder();
    bool all_zero = true;
    drive_state state;
    drive(*decoder, member,
          {.in_chunk = member.size(),
           .out_chunk = block,
           .sink =
               [&](std::span<const element> out) {
                 all_zero = all_zero && std::memcmp(out.data(), zeros.data(), out.size()) == 0;
               }},
          state);
    EXPECT_TRUE(decoder->finished());
    EXPECT_EQ(state.consumed, member.size());
    EXPECT_EQ(state.produced, static_cast<std::size_t>(total));
    EXPECT_TRUE(all_zero);
    EXPECT_EQ(decoder->total_in(), static_cast<std::int64_t>(member.size()));
    EXPECT_EQ(decoder->total_out(), total);
  }
}

}  // namespace
