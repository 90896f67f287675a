// Steady-state transcoding allocates nothing: once a coder is initialised (and, on
// decompression, once zlib has allocated its window on the first call that writes output), a
// series of transcode calls in any direction, framing and flush mode touches no heap. The test
// program counts every heap entry point: operator new is replaced here, and malloc, calloc,
// realloc and the aligned allocators are interposed for every library in the process, zlib and
// the coder's library included, forwarding to the C library's own allocator.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string_view>

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

// zlib's window bits for a framing; AUTO decompression reads a gzip stream.
int window_bits(direction way, header_type header) {
  switch (header) {
    case header_type::NONE:
      return -15;
    case header_type::AUTO:
      return way == direction::decompress ? 31 : 15;
    case header_type::DEFAULT:
      return 15;
    case header_type::GZIP:
      return 31;
  }
  return 15;
}

TEST(no_allocation_test, steady_state_transcoding_allocates_nothing) {
  if (!WRENFOLD_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  const bytes plain = testing::sample(testing::data_shape::text, 48 * 1024, 5);
  for (const auto& row : mode_rows()) {
    SCOPED_TRACE(::testing::Message()
                 << (row.way == direction::compress ? "compress " : "decompress ") << row.header
                 << " flush " << static_cast<int>(row.flush));
    const int bits = window_bits(row.way, row.header);
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
    constexpr std::size_t out_chunk = 300;
    std::size_t at = 0, written = 0, calls = 0;
    // Decompression counts from the call after the first output: zlib allocates the window then.
    bool counting = row.way == direction::compress;
    long before = allocations.load();
    bool threw = false;
    try {
      while (!coder.finished() && calls < 100000 && written + out_chunk <= output.size()) {
        const std::size_t in_size = std::min(in_chunk, input.size() - at);
        const flush_mode flush = at + in_size < input.size() ? row.flush : flush_mode::finish;
        const auto [in_last, out_last] =
            coder.transcode(const_element_array(input.data() + at, in_size, -3),
                            element_array(output.data() + written, out_chunk, -3), flush);
        at += static_cast<std::size_t>(in_last + 4);
        written += static_cast<std::size_t>(out_last + 4);
        ++calls;
        if (!counting && written != 0) {
          counting = true;
          before = allocations.load();
        }
      }
    } catch (...) {
      threw = true;
    }
    const long during = allocations.load() - before;
    ASSERT_FALSE(threw);
    ASSERT_TRUE(coder.finished());
    EXPECT_GT(calls, 10u) << "too short a series to be a steady state";
    EXPECT_EQ(during, 0) << "heap allocations during " << calls << " transcode calls";

    output.resize(written);
    if (row.way == direction::compress) {
      EXPECT_EQ(testing::zlib_inflate(output, bits), plain);
    } else {
      EXPECT_EQ(output, plain);
    }
  }
}

}  // namespace
}  // namespace wrenfold::coders::zlib
