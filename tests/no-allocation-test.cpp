// Steady-state transcoding allocates nothing: once a coder is initialised (and, on
// decompression, once zlib has allocated its window on the first call that writes output), a
// series of transcode calls in any direction, framing and flush mode touches no heap. The test
// program counts every heap entry point: operator new is replaced here, and malloc, calloc,
// realloc and the aligned allocators are interposed for every library in the process, zlib and
// the coder's library included, forwarding to the C library's own allocator.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <istream>
#include <new>
#include <ostream>
#include <string_view>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib-parallel.hpp>

#include "support.hpp"

// Sanitizer runtimes own the allocator; replacing it under them would mix two heaps.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WRENFOLD_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define WRENFOLD_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef WRENFOLD_COUNT_ALLOCATIONS
#define WRENFOLD_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> allocations{0};
[[maybe_unused]] void count_one() noexcept { allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

#if WRENFOLD_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) noexcept {
  count_one();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  count_one();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  count_one();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  count_one();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
  count_one();
  *block = __libc_memalign(alignment, size);
  return *block == nullptr ? ENOMEM : 0;
}
void free(void* block) noexcept { __libc_free(block); }
}

// Counted once here and not again in malloc: these go to the C library directly.
void* operator new(std::size_t size) {
  count_one();
  if (void* block = __libc_malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __libc_free(block); }
#endif

namespace wrenfold::coders::zlib {
namespace {

using testing::bytes;

// Keeps the optimiser from removing an allocation made on purpose.
void escape(void* block) { asm volatile("" : : "g"(block) : "memory"); }

struct series_result {
  std::size_t written = 0;
  std::size_t calls = 0;
  long allocations = 0;
  bool threw = false;
};

// Drives coder over input, in_chunk bytes a call with `flush` (finish with the last), into
// output in place, arrays numbered from `first`; counts allocations from the first call, or from
// the call after the first output when count_from_start is false (zlib allocates its inflate
// window then). Hand-written: the support drive grows its output and room on the heap, which
// would be counted.
series_result steady_series(coder_interface& coder, const bytes& input, bytes& output,
                            std::size_t in_chunk, std::size_t out_chunk, flush_mode flush,
                            element_index first, bool count_from_start) {
  series_result series;
  std::size_t at = 0;
  bool counting = count_from_start;
  long before = allocations.load();
  try {
    while (!coder.finished() && series.calls < 100000 &&
           series.written + out_chunk <= output.size()) {
      const std::size_t in_size = std::min(in_chunk, input.size() - at);
      const flush_mode this_flush = at + in_size < input.size() ? flush : flush_mode::finish;
      const auto [in_last, out_last] = coder.transcode(
          const_element_array(input.data() + at, in_size, first),
          element_array(output.data() + series.written, out_chunk, first), this_flush);
      at += static_cast<std::size_t>(in_last - first + 1);
      series.written += static_cast<std::size_t>(out_last - first + 1);
      ++series.calls;
      if (!counting && series.written != 0) {
        counting = true;
        before = allocations.load();
      }
    }
  } catch (...) {
    series.threw = true;
  }
  series.allocations = allocations.load() - before;
  return series;
}

void expect_no_allocation(const coder_interface& coder, const series_result& series) {
  ASSERT_FALSE(series.threw);
  ASSERT_TRUE(coder.finished());
  EXPECT_GT(series.calls, 10u) << "too short a series to be a steady state";
  EXPECT_EQ(series.allocations, 0)
      << "heap allocations during " << series.calls << " transcode calls";
}

TEST(no_allocation_test, counter_sees_every_heap_entry_point) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  struct probe_row {
    std::string_view name;
    std::function<void()> allocate;
  };
  const probe_row rows[] = {
      {"operator new",
       [] {
         int* p = new int(1);
         escape(p);
         delete p;
       }},
      {"malloc",
       [] {
         void* p = std::malloc(16);
         escape(p);
         std::free(p);
       }},
      {"calloc",
       [] {
         void* p = std::calloc(4, 4);
         escape(p);
         std::free(p);
       }},
      {"realloc",
       [] {
         void* p = std::realloc(nullptr, 16);
         escape(p);
         std::free(p);
       }},
      // zlib allocates through its default allocator, in its own library.
      {"zlib's init, inside libz",
       [] {
         coder_type coder;
         coder.deflate_init();
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const long before = allocations.load();
    row.allocate();
    EXPECT_GT(allocations.load(), before);
  }
}

enum class direction { compress, decompress };

struct mode_row {
  direction way;
  header_type header;
  flush_mode flush;  // used on every call while input remains; finish hands all input at once
};

constexpr header_type headers[] = {header_type::NONE, header_type::AUTO, header_type::DEFAULT,
                                   header_type::GZIP};

std::vector<mode_row> mode_rows() {
  std::vector<mode_row> rows;
  for (const auto header : headers) {
    for (const auto flush : {flush_mode::no_flush, flush_mode::sync_flush, flush_mode::full_flush,
                             flush_mode::finish}) {
      rows.push_back({direction::compress, header, flush});
    }
    for (const auto flush : {flush_mode::no_flush, flush_mode::sync_flush, flush_mode::finish}) {
      rows.push_back({direction::decompress, header, flush});
    }
  }
  return rows;
}

TEST(no_allocation_test, steady_state_transcoding_allocates_nothing) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  const bytes plain = testing::sample(testing::data_shape::text, 48 * 1024, 5);
  for (const auto& row : mode_rows()) {
    SCOPED_TRACE(::testing::Message()
                 << (row.way == direction::compress ? "compress " : "decompress ") << row.header
                 << " flush " << static_cast<int>(row.flush));
    // zlib's window bits of the stream the coder writes, or is given to read: gzip for AUTO.
    const bool reads_gzip = row.way == direction::decompress && row.header == header_type::AUTO;
    const int bits = testing::zlib_window(reads_gzip ? header_type::GZIP : row.header, 15,
                                          testing::coding::compress);
    const bytes input =
        row.way == direction::compress ? plain : testing::zlib_deflate(plain, 6, bits);
    bytes output(2 * plain.size() + 4096);  // written in place: no growth while counting
    coder_type coder;
    if (row.way == direction::compress) {
      coder.deflate_init(best_speed, default_strategy, deflated, default_window_bits,
                         default_memory_level, row.header);
    } else {
      coder.inflate_init(default_window_bits, row.header);
    }

    const std::size_t in_chunk = row.flush == flush_mode::finish ? input.size() : 700;
    // Decompression counts from the call after the first output: zlib allocates the window then.
    const auto series = steady_series(coder, input, output, in_chunk, 300, row.flush, -3,
                                      row.way == direction::compress);
    const std::size_t written = series.written;
    expect_no_allocation(coder, series);

    output.resize(written);
    if (row.way == direction::compress) {
      EXPECT_EQ(testing::inflate_whole(output, bits), plain);
    } else {
      EXPECT_EQ(output, plain);
    }
  }
}

// The parallel compressor makes its blocks, streams and threads at init; neither its transcode
// nor its workers allocate afterwards, across many blocks, flushes and the stream's end.
TEST(no_allocation_test, parallel_compressor_allocates_nothing_after_init) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  const bytes plain = testing::sample(testing::data_shape::text, 48 * 1024, 5);
  for (const flush_mode flush :
       {flush_mode::no_flush, flush_mode::sync_flush, flush_mode::full_flush, flush_mode::finish}) {
    SCOPED_TRACE(static_cast<int>(flush));
    parallel_compressor compressor(2);
    compressor.deflate_init({.header = header_type::GZIP}, 4096);
    bytes output(2 * plain.size() + 4096);
    const std::size_t in_chunk = flush == flush_mode::finish ? plain.size() : 700;
    const auto series = steady_series(compressor, plain, output, in_chunk, 300, flush, 5, true);
    expect_no_allocation(compressor, series);
    output.resize(series.written);
    EXPECT_EQ(testing::inflate_whole(output, 31), plain);
  }
}

// The streambuf adapters in steady state add no allocation of their own: once constructed and
// warmed up (a first write and flush, a first read that gave output), a series of writes of
// every size, flushes, and reads of every size through std::ostream and std::istream touches no
// heap. Both ends are memory the test made up front, so the sink and source allocate nothing.
TEST(no_allocation_test, steady_state_stream_writes_and_reads_allocate_nothing) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  const bytes plain = testing::sample(testing::data_shape::text, 48 * 1024 + 7, 9);
  // Sizes below and above buffer_size: the put and get areas, and the direct path.
  constexpr std::size_t buffer_size = 1000;
  constexpr std::size_t pieces[] = {1, 333, 2501, 77, 1000, 13};
  for (const auto header : {header_type::NONE, header_type::DEFAULT, header_type::GZIP}) {
    SCOPED_TRACE(::testing::Message() << header);
    testing::fixed_sink sink(2 * plain.size() + 4096);
    coder_type compressor;
    testing::open_compressor(compressor, header, best_speed);
    coders::coder_ostreambuf writer(compressor, sink, buffer_size);
    std::ostream out(&writer);
    const char* const text = reinterpret_cast<const char*>(plain.data());
    std::size_t at = 500, calls = 0;
    out.write(text, static_cast<std::streamsize>(at));
    out.flush();
    long before = allocations.load();
    for (; at < plain.size() && out; ++calls) {
      const std::size_t n = std::min(pieces[calls % std::size(pieces)], plain.size() - at);
      out.write(text + at, static_cast<std::streamsize>(n));
      if (calls % 3 == 2) out.flush();
      at += n;
    }
    long during = allocations.load() - before;
    ASSERT_TRUE(out.good());
    EXPECT_GT(calls, 10u) << "too short a series to be a steady state";
    EXPECT_EQ(during, 0) << "heap allocations during " << calls << " writes and flushes";
    writer.finish();
    const bytes packed(sink.contents().begin(), sink.contents().end());
    ASSERT_EQ(
        testing::inflate_whole(packed, testing::zlib_window(header, 15, testing::coding::compress)),
        plain);

    testing::memory_source source(packed);
    coder_type decompressor;
    decompressor.inflate_init(default_window_bits, header);
    coders::coder_istreambuf reader(decompressor, source, buffer_size);
    std::istream in(&reader);
    bytes got(plain.size() + 1);  // read in place: no growth while counting
    char* const room = reinterpret_cast<char*>(got.data());
    in.read(room, 1);  // zlib allocates its window on the first output
    at = static_cast<std::size_t>(in.gcount());
    before = allocations.load();
    for (calls = 0; in && at < got.size(); ++calls) {
      const std::size_t n = std::min(pieces[calls % std::size(pieces)], got.size() - at);
      in.read(room + at, static_cast<std::streamsize>(n));
      at += static_cast<std::size_t>(in.gcount());
    }
    during = allocations.load() - before;
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.bad());
    EXPECT_GT(calls, 10u) << "too short a series to be a steady state";
    EXPECT_EQ(during, 0) << "heap allocations during " << calls << " reads";
    got.resize(at);
    EXPECT_EQ(got, plain);
  }
}

// member_decoder adds no allocation to the zlib coder it drives: inside a member, from the first
// output (when zlib allocates its window) through the deflate data and the trailer check to the
// end, its calls touch no heap, in every framing it reads.
TEST(no_allocation_test, member_decoder_allocates_nothing_within_a_member) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  const bytes plain = testing::sample(testing::data_shape::text, 48 * 1024 + 3, 10);
  struct row_type {
    header_type mode;  // the decoder's
    int bits;          // the stream's, as zlib takes them
  };
  const row_type rows[] = {{header_type::AUTO, 31},
                           {header_type::GZIP, 31},
                           {header_type::AUTO, 15},
                           {header_type::DEFAULT, 15},
                           {header_type::NONE, -15}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "decoder " << row.mode << ", stream window " << row.bits);
    const bytes input = testing::zlib_deflate(plain, 6, row.bits);
    bytes output(plain.size() + 4096);
    member_decoder decoder;
    decoder.inflate_init(default_window_bits, row.mode);
    const auto series =
        steady_series(decoder, input, output, 701, 307, flush_mode::no_flush, 5, false);
    const std::size_t written = series.written;
    expect_no_allocation(decoder, series);
    output.resize(written);
    EXPECT_EQ(output, plain);
  }
}

}  // namespace
}  // namespace wrenfold::coders::zlib
