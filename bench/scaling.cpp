// The scaling report. Every variant of a part runs in the same rounds, interleaved, so that the
// ratios compare runs made close together.
#include "scaling.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <wrenfold/support/zlib-oracle.hpp>

#include "engines.hpp"
#include "timing.hpp"

namespace wrenfold::bench {

namespace {

constexpr std::size_t default_block = 128 * 1024;
constexpr std::size_t block_sizes[]{32 * 1024, 64 * 1024, 128 * 1024, 256 * 1024, 1024 * 1024};

// The output decodes to the input; checked once per variant, before the timed rounds.
std::size_t checked(const bytes& out, std::span<const element> plain) {
  const auto decoded =
      support::zlib_inflate(out, support::zlib_window(coders::zlib::header_type::GZIP));
  if (!decoded.complete() || decoded.output.size() != plain.size() ||
      std::memcmp(decoded.output.data(), plain.data(), plain.size()) != 0) {
    fail("the parallel compressor wrote a stream that does not decode to its input");
  }
  return out.size();
}

void scale_part(const char* name, std::span<const element> plain,
                const std::vector<unsigned>& threads, int rounds) {
  const job_type job{plain, coders::zlib::header_type::GZIP, 6, 64 * 1024};
  const auto& coder = engine("coder");
  const double mb = static_cast<double>(plain.size()) / 1e6;
  const unsigned most = threads.back();

  // Variant 0 is the coder, then one per thread count, then one per block size at `most`.
  std::vector<std::function<void()>> variants{[&] { coder.compress(job); }};
  const std::size_t coder_size = checked(coder.compress(job), plain);
  for (const unsigned t : threads) {
    checked(parallel_compress(job, t, default_block), plain);
    variants.emplace_back([&job, t] { parallel_compress(job, t, default_block); });
  }
  std::vector<std::size_t> sizes;
  for (const std::size_t block : block_sizes) {
    sizes.push_back(checked(parallel_compress(job, most, block), plain));
    if (block != default_block) {
      variants.emplace_back([&job, most, block] { parallel_compress(job, most, block); });
    }
  }
  const auto seconds = interleave(rounds, variants, wall_seconds);
  // The variant of block size b at `most` threads: the thread count's own for the default.
  auto block_variant = [&](std::size_t b) {
    if (block_sizes[b] == default_block) return threads.size();
    const std::size_t skipped = block_sizes[b] > default_block ? 1 : 0;
    return 1 + threads.size() + b - skipped;
  };

  std::printf("%s, %zu bytes: coder %.1f MB/s, %zu bytes out\n", name, plain.size(),
              mb / median(seconds[0]), coder_size);
  std::printf("  %-8s %8s %10s %12s\n", "threads", "MB/s", "x coder", "x 1 thread");
  for (std::size_t k = 0; k < threads.size(); ++k) {
    std::printf("  %-8u %8.1f %10.2f %12.2f\n", threads[k], mb / median(seconds[1 + k]),
                ratio_of(seconds[0], seconds[1 + k]), ratio_of(seconds[1], seconds[1 + k]));
  }
  std::printf("  %-8s %10s %14s %10s   (%u threads)\n", "block", "bytes", "size/coder", "x coder",
              most);
  for (std::size_t b = 0; b < std::size(block_sizes); ++b) {
    std::printf("  %-8s %10zu %14.4f %10.2f\n",
                (std::to_string(block_sizes[b] / 1024) + "K").c_str(), sizes[b],
                static_cast<double>(sizes[b]) / static_cast<double>(coder_size),
                ratio_of(seconds[0], seconds[block_variant(b)]));
  }
  std::fflush(stdout);
}

}  // namespace

std::vector<unsigned> parse_threads(std::string_view list) {
  std::vector<unsigned> threads;
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    const std::string item(list.substr(0, comma));
    char* end = nullptr;
    const unsigned long count = std::strtoul(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || count == 0 || count > 1024) {
      fail("bad thread count list: " + std::string(list));
    }
    threads.push_back(static_cast<unsigned>(count));
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return threads;
}

int scaling_mode(std::span<const element> text, std::span<const element> records,
                 std::vector<unsigned> threads, int rounds) {
  if (threads.empty()) {
    for (unsigned t = 1; t <= std::max(1U, std::thread::hardware_concurrency()); ++t) {
      threads.push_back(t);
    }
  }
  threads.push_back(1);
  std::sort(threads.begin(), threads.end());
  threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
  std::printf(
      "parallel_compressor scaling: gzip, level 6, 64K calls, wall clock, median of %d rounds "
      "interleaved; speed-ups are medians of per-round time ratios; %u cores\n",
      rounds, std::thread::hardware_concurrency());
  scale_part("text", text, threads, rounds);
  scale_part("records", records, threads, rounds);
  return 0;
}

}  // namespace wrenfold::bench
