// Many coders at once: each thread drives coders of its own through compression and
// decompression in every header mode and checks each result against the input. Distinct coders
// share only the library's read-only tables and the captured zlib version, so a race detector
// must stay silent. Parallel compressors, each with worker threads of its own, run on every
// caller thread too: streams abandoned with blocks in flight, compressors reopened mid-stream and
// destroyed mid-stream must neither race nor hang. Failures are collected per thread and
// reported by the main thread.
#include <gtest/gtest.h>

#include <latch>
#include <random>
#include <thread>
#include <wrenfold/coders-zlib-parallel.hpp>

#include "support.hpp"

#ifdef WRENFOLD_HAVE_ISAL
#include <wrenfold/coders-isal.hpp>
#endif

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using wrenfold::coders::const_element_array;
using zl::coder_type;
using zl::header_type;

constexpr int thread_count = 8;
constexpr int rounds = 4;
constexpr header_type all_headers[] = {header_type::NONE, header_type::AUTO, header_type::DEFAULT,
                                       header_type::GZIP};

// Drives coder over the whole input with random input pieces and output room (1 .. limit bytes),
// no_flush until the input is used up, then finish. Positions and totals are checked on every
// call (total_out leaves out gzip framing on compression); a coder that stops making progress is
// a failure (drive_fault).
bytes run(coder_type& coder, const bytes& input, std::size_t limit, std::mt19937& rng,
          bool counts_framing = false) {
  return pump(coder, input,
              {.in_chunk = limit,
               .out_chunk = limit,
               .seed = static_cast<std::uint32_t>(rng()),
               .first = -3,
               .counts_framing = counts_framing});
}

// One thread's work; returns what went wrong, one line per fault.
std::vector<std::string> work(int id, const bytes& shared_input, std::uint32_t shared_crc) {
  std::vector<std::string> faults;
  std::mt19937 rng(static_cast<std::uint32_t>(100 + id));
  const auto own_input =
      sample(id % 2 == 0 ? data_shape::random : data_shape::zeros,
             20000 + static_cast<std::size_t>(id) * 997, static_cast<std::uint32_t>(id));
  coder_type compressor;  // both reused across rounds: every init restarts them
  coder_type decompressor;
  for (int round = 0; round < rounds; ++round) {
    for (const auto header : all_headers) {
      for (const bytes* input : {&shared_input, &own_input}) {
        const std::string where = "thread " + std::to_string(id) + " round " +
                                  std::to_string(round) + " " + std::string(zl::image(header)) +
                                  (input == &shared_input ? " shared" : " own") + ": ";
        try {
          const int level = (id + round) % 10;
          compressor.deflate_init(level, zl::default_strategy, zl::deflated,
                                  zl::default_window_bits, zl::default_memory_level, header);
          const auto packed =
              run(compressor, *input, 1 + rng() % 5000, rng, header == header_type::GZIP);
          if (compressor.total_in() != static_cast<std::int64_t>(input->size())) {
            faults.push_back(where + "compressor total_in");
          }
          // A zlib or gzip stream also decodes with detection.
          const auto decoder =
              round % 2 == 1 && header != header_type::NONE ? header_type::AUTO : header;
          decompressor.inflate_init(zl::default_window_bits, decoder);
          if (run(decompressor, packed, 1 + rng() % 5000, rng) != *input) {
            faults.push_back(where + "round trip differs");
          }
          if (decompressor.total_out() != static_cast<std::int64_t>(input->size())) {
            faults.push_back(where + "decompressor total_out");
          }
        } catch (const std::exception& e) {
          faults.push_back(where + e.what());
        }
      }
    }
    if (zl::crc32(0, const_element_array(shared_input.data(), shared_input.size())) != shared_crc) {
      faults.push_back("thread " + std::to_string(id) + ": crc32 differs");
    }
    if (zl::version() != zlibVersion()) {
      faults.push_back("thread " + std::to_string(id) + ": version differs");
    }
  }
  return faults;
}

// Parallel compressors with 2 or 3 workers each: every framing with drawn block sizes, slices and
// flushes, each stream begun over one abandoned mid-way (with blocks on the workers), sometimes
// closed first, and read back by plain zlib; between rounds one more compressor is destroyed with
// blocks in flight.
std::vector<std::string> parallel_work(int id, const bytes& shared_input) {
  std::vector<std::string> faults;
  std::mt19937 rng(static_cast<std::uint32_t>(300 + id));
  for (int round = 0; round < rounds; ++round) {
    const unsigned workers = 2 + static_cast<unsigned>(id + round) % 2;
    zl::parallel_compressor compressor(workers);
    for (const auto header : all_headers) {
      const std::string where = "parallel thread " + std::to_string(id) + " round " +
                                std::to_string(round) + " " + std::string(zl::image(header)) + ": ";
      try {
        const std::size_t block_size = std::size_t{1024} << rng() % 4;
        // The abandoned stream: other options, part of the input, room for a few bytes.
        compressor.deflate_init({.level = 1, .header = header_type::GZIP}, 1024);
        bytes scratch(1 + rng() % 64);
        compressor.transcode(const_element_array(shared_input.data(), 1 + rng() % 20000), scratch,
                             wrenfold::coders::flush_mode::no_flush);
        if (rng() % 2 == 0) compressor.close();
        compressor.deflate_init({.level = (id + round) % 10, .header = header}, block_size);
        const auto packed = pump(compressor, shared_input,
                                 {.in_chunk = 1 + rng() % 9000,
                                  .out_chunk = 1 + rng() % 9000,
                                  .seed = static_cast<std::uint32_t>(rng()),
                                  .flush = wrenfold::support::flush_policy::mixed,
                                  .flush_chunks = true,
                                  .counts_framing = header == header_type::GZIP});
        if (compressor.total_in() != static_cast<std::int64_t>(shared_input.size())) {
          faults.push_back(where + "total_in");
        }
        const auto read = header == header_type::AUTO ? header_type::DEFAULT : header;
        const auto result = zlib_inflate(packed, zlib_window(read));
        if (!result.complete() || result.consumed != packed.size() ||
            result.output != shared_input) {
          faults.push_back(where + "round trip differs");
        }
      } catch (const std::exception& e) {
        faults.push_back(where + e.what());
      }
    }
    try {
      zl::parallel_compressor dropped(workers);
      dropped.deflate_init({.header = header_type::DEFAULT}, 1024);
      bytes scratch(16);
      dropped.transcode(const_element_array(shared_input.data(), 8 * 1024), scratch,
                        wrenfold::coders::flush_mode::sync_flush);
    } catch (const std::exception& e) {
      faults.push_back("parallel thread " + std::to_string(id) + " dropped: " + e.what());
    }
  }
  return faults;
}

#ifdef WRENFOLD_HAVE_ISAL
// The same for ISA-L coders: each thread compresses and decompresses with coders of its own, and
// the one-shot calls and member decoder on ISA-L run beside them.
std::vector<std::string> isal_work(int id, const bytes& shared_input) {
  namespace is = wrenfold::coders::isal;
  std::vector<std::string> faults;
  std::mt19937 rng(static_cast<std::uint32_t>(200 + id));
  is::coder_type compressor;
  is::coder_type decompressor;
  for (int round = 0; round < rounds; ++round) {
    for (const auto header : all_headers) {
      const std::string where = "ISA-L thread " + std::to_string(id) + " round " +
                                std::to_string(round) + " " + std::string(zl::image(header)) + ": ";
      try {
        compressor.deflate_init((id + round) % 4, header);
        const auto packed = pump(compressor, shared_input,
                                 {.in_chunk = 1 + rng() % 5000,
                                  .out_chunk = 1 + rng() % 5000,
                                  .seed = static_cast<std::uint32_t>(rng()),
                                  .counts_framing = header == header_type::GZIP});
        decompressor.inflate_init(zl::default_window_bits, header);
        const auto unpacked = pump(decompressor, packed,
                                   {.in_chunk = 1 + rng() % 5000,
                                    .out_chunk = 1 + rng() % 5000,
                                    .seed = static_cast<std::uint32_t>(rng())});
        const auto reading = header == header_type::NONE ? header : header_type::AUTO;
        if (unpacked != shared_input || is::decompress(packed, {.header = reading}) != unpacked) {
          faults.push_back(where + "round trip differs");
        }
      } catch (const std::exception& e) {
        faults.push_back(where + e.what());
      }
    }
  }
  return faults;
}
#endif

TEST(thread_stress_test, coders_in_many_threads_at_once_round_trip) {
  const auto shared_input = sample(data_shape::text, 60000, 17);
  const auto shared_crc =
      zl::crc32(0, const_element_array(shared_input.data(), shared_input.size()));
  std::vector<std::vector<std::string>> faults(thread_count);
  std::latch start(thread_count);
  {
    std::vector<std::jthread> threads;
    for (int id = 0; id < thread_count; ++id) {
      threads.emplace_back([&, id] {
        start.arrive_and_wait();  // all threads begin together
        auto& mine = faults[static_cast<std::size_t>(id)];
        mine = work(id, shared_input, shared_crc);
        const auto parallel = parallel_work(id, shared_input);
        mine.insert(mine.end(), parallel.begin(), parallel.end());
#ifdef WRENFOLD_HAVE_ISAL
        const auto more = isal_work(id, shared_input);
        mine.insert(mine.end(), more.begin(), more.end());
#endif
      });
    }
  }
  for (const auto& list : faults) {
    for (const auto& fault : list) ADD_FAILURE() << fault;
  }
}

}  // namespace
