// Speed of the zlib coder against plain zlib. Both are driven by loops of the same shape over the
// same deterministic corpus, with the same chunk and output buffer sizes, interleaved round by
// round in one process so that machine noise falls on both alike. The table gives, per case,
// MB/s of uncompressed data (thread CPU time, median over rounds) and the median of the per-round
// ratios coder time / zlib time.
//
//   wrenfold-bench [benchmark flags]          the table; --benchmark_filter=... selects cases
//   wrenfold-bench --per-call=coder|zlib [--calls=N] [--framing=zlib|raw|gzip]
//                                             N decompression calls with a 1-byte output buffer
//                                             and nothing else, for valgrind --tool=callgrind
// WRENFOLD_BENCH_QUICK=1 shrinks the corpus and the rounds; WRENFOLD_BENCH_ROUNDS=N sets rounds.
#include <benchmark/benchmark.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

#include "corpus.hpp"

namespace {

namespace coders = wrenfold::coders;
namespace zlib = wrenfold::coders::zlib;
using coders::element;
using coders::flush_mode;
using wrenfold::bench::bytes;
using wrenfold::bench::make_records;
using wrenfold::bench::make_text;

constexpr std::size_t mib = std::size_t{1} << 20;

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "wrenfold-bench: " << what << '\n';
  std::exit(1);
}

struct framing_type {
  std::string_view name;
  zlib::header_type header;  // what the coder is opened with
  int window_bits;           // what plain zlib is opened with
};
constexpr std::array<framing_type, 3> framings{{
    {"zlib", zlib::header_type::DEFAULT, 15},
    {"raw", zlib::header_type::NONE, -15},
    {"gzip", zlib::header_type::GZIP, 31},  // zlib's own gzip mode, as a user would pick it
}};

struct corpus_part {
  std::string_view name;
  bytes plain;
  // Decompression input: level 6, keyed by framing and the size of the prefix compressed.
  std::map<std::pair<std::size_t, std::size_t>, bytes> packed;
};

bytes deflate_whole(std::span<const element> input, int level, int window_bits) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fail("deflateInit2");
  }
  bytes output(deflateBound(&stream, input.size()));
  stream.next_in = const_cast<element*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) fail("deflate of the corpus");
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// Decodes a whole stream with plain zlib into scratch and fails unless it is complete, nothing
// follows it, and it matches expected.
void check_decodes(std::span<const element> packed, int window_bits,
                   std::span<const element> expected, bytes& scratch, std::string_view what) {
  z_stream stream{};
  if (inflateInit2(&stream, window_bits) != Z_OK) fail("inflateInit2");
  scratch.resize(std::max(scratch.size(), expected.size() + 1));
  stream.next_in = const_cast<element*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = scratch.data();
  stream.avail_out = static_cast<uInt>(expected.size() + 1);
  const int code = inflate(&stream, Z_FINISH);
  const bool good = code == Z_STREAM_END && stream.avail_in == 0 &&
                    stream.total_out == expected.size() &&
                    std::memcmp(scratch.data(), expected.data(), expected.size()) == 0;
  inflateEnd(&stream);
  if (!good) fail(std::string(what) + ": output does not decode to the input");
}

// ---------------------------------------------------------------------------------------------
// The two loops. Each call hands over the input not yet consumed (at most chunk bytes) and
// chunk bytes of fresh room just after what was written, with finish once the last input is
// handed over. The coder is reached through coder_type&, so its calls are direct.

struct drive_result {
  std::size_t consumed = 0, written = 0, calls = 0;
};

[[gnu::noinline]] drive_result drive_coder(zlib::coder_type& coder, std::span<const element> in,
                                           element* out, std::size_t chunk) {
  drive_result r;
  while (!coder.finished()) {
    const std::size_t in_size = std::min(chunk, in.size() - r.consumed);
    const auto flush = r.consumed + in_size < in.size() ? flush_mode::no_flush : flush_mode::finish;
    const auto [in_last, out_last] =
        coder.transcode({in.data() + r.consumed, in_size}, {out + r.written, chunk}, flush);
    r.consumed += static_cast<std::size_t>(in_last + 1);
    r.written += static_cast<std::size_t>(out_last + 1);
    ++r.calls;
  }
  return r;
}

template <bool compressing>
[[gnu::noinline]] drive_result drive_zlib(z_stream& stream, std::span<const element> in,
                                          element* out, std::size_t chunk) {
  drive_result r;
  int code = Z_OK;
  while (code != Z_STREAM_END) {
    const std::size_t in_size = std::min(chunk, in.size() - r.consumed);
    const int flush = r.consumed + in_size < in.size() ? Z_NO_FLUSH : Z_FINISH;
    stream.next_in = const_cast<element*>(in.data() + r.consumed);
    stream.avail_in = static_cast<uInt>(in_size);
    stream.next_out = out + r.written;
    stream.avail_out = static_cast<uInt>(chunk);
    code = compressing ? deflate(&stream, flush) : inflate(&stream, flush);
    const std::size_t used = in_size - stream.avail_in, made = chunk - stream.avail_out;
    if (code != Z_OK && code != Z_STREAM_END && (code != Z_BUF_ERROR || used + made == 0)) {
      fail("zlib failed in the timed loop");
    }
    r.consumed += used;
    r.written += made;
    ++r.calls;
  }
  return r;
}

// Decompression with a 1-byte output buffer until limit bytes are out: the whole rest of the
// input is handed over on every call, so the calls themselves are what is measured.
[[gnu::noinline]] drive_result drive_coder_bytewise(zlib::coder_type& coder,
                                                    std::span<const element> in, element* out,
                                                    std::size_t limit) {
  drive_result r;
  while (!coder.finished() && r.written < limit) {
    const auto [in_last, out_last] =
        coder.transcode({in.data() + r.consumed, in.size() - r.consumed}, {out + r.written, 1},
                        flush_mode::no_flush);
    r.consumed += static_cast<std::size_t>(in_last + 1);
    r.written += static_cast<std::size_t>(out_last + 1);
    ++r.calls;
  }
  return r;
}

[[gnu::noinline]] drive_result drive_zlib_bytewise(z_stream& stream, std::span<const element> in,
                                                   element* out, std::size_t limit) {
  drive_result r;
  int code = Z_OK;
  while (code != Z_STREAM_END && r.written < limit) {
    const std::size_t in_size = in.size() - r.consumed;
    stream.next_in = const_cast<element*>(in.data() + r.consumed);
    stream.avail_in = static_cast<uInt>(in_size);
    stream.next_out = out + r.written;
    stream.avail_out = 1;
    code = inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END) fail("zlib failed in the timed loop");
    r.consumed += in_size - stream.avail_in;
    r.written += 1 - stream.avail_out;
    ++r.calls;
  }
  return r;
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// ---------------------------------------------------------------------------------------------
// Cases and their measurement.

struct settings_type {
  bool quick = false;
  int rounds = 5;
  std::size_t part_size = 16 * mib;        // each corpus part
  std::size_t level6_size = 4 * mib;       // prefix of each part compressed at level 6
  std::size_t level9_size = 1 * mib;       // prefix of each part compressed at level 9
  std::size_t small_chunk_size = 4 * mib;  // prefix of each part at 64-byte chunks
  std::size_t bytewise_size = 1 * mib;     // output of the 1-byte buffer case, per part
};
settings_type settings;
std::vector<corpus_part> corpus;

enum class direction { compress, decompress, decompress_bytewise };

struct case_type {
  direction way;
  int level;  // compression only
  std::size_t framing;
  std::size_t chunk;
  std::size_t size;        // uncompressed bytes per part
  std::size_t input_size;  // decompression: the prefix of each part whose compressed form is read
};

enum class side { coder, zlib };

// One timed pass of one side over one part; init, teardown and the check stay outside the time.
double timed_pass(side who, const case_type& c, const corpus_part& part, zlib::coder_type& coder,
                  bytes& out, bytes& scratch, std::size_t& calls) {
  const framing_type& framing = framings[c.framing];
  const bool compressing = c.way == direction::compress;
  const std::span<const element> plain(part.plain.data(), c.size);
  const std::span<const element> in =
      compressing ? plain : std::span<const element>(part.packed.at({c.framing, c.input_size}));
  z_stream stream{};
  if (who == side::coder) {
    if (compressing) {
      coder.deflate_init(c.level, zlib::default_strategy, zlib::deflated, zlib::default_window_bits,
                         zlib::default_memory_level, framing.header);
    } else {
      coder.inflate_init(zlib::default_window_bits, framing.header);
    }
  } else {
    const int code = compressing ? deflateInit2(&stream, c.level, Z_DEFLATED, framing.window_bits,
                                                8, Z_DEFAULT_STRATEGY)
                                 : inflateInit2(&stream, framing.window_bits);
    if (code != Z_OK) fail("zlib init");
  }

  drive_result r;
  const double start = thread_seconds();
  if (c.way == direction::decompress_bytewise) {
    r = who == side::coder ? drive_coder_bytewise(coder, in, out.data(), c.size)
                           : drive_zlib_bytewise(stream, in, out.data(), c.size);
  } else if (who == side::coder) {
    r = drive_coder(coder, in, out.data(), c.chunk);
  } else {
    r = compressing ? drive_zlib<true>(stream, in, out.data(), c.chunk)
                    : drive_zlib<false>(stream, in, out.data(), c.chunk);
  }
  const double seconds = thread_seconds() - start;

  if (who == side::zlib) (compressing ? deflateEnd : inflateEnd)(&stream);
  calls += r.calls;
  const std::string what = std::string(who == side::coder ? "coder " : "zlib ") +
                           std::string(framing.name) + " " + std::string(part.name);
  if (compressing) {
    if (r.consumed != in.size()) fail(what + ": input left unconsumed");
    check_decodes({out.data(), r.written}, framing.window_bits, plain, scratch, what);
  } else {
    const bool whole = c.way == direction::decompress;
    if ((whole && r.consumed != in.size()) || r.written != c.size ||
        std::memcmp(out.data(), plain.data(), c.size) != 0) {
      fail(what + ": decompressed output differs from the corpus");
    }
  }
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void run_case(benchmark::State& state, const case_type& c) {
  if (c.way != direction::compress) {
    for (auto& part : corpus) {
      auto& packed = part.packed[{c.framing, c.input_size}];
      if (packed.empty()) {
        packed =
            deflate_whole({part.plain.data(), c.input_size}, 6, framings[c.framing].window_bits);
      }
    }
  }
  const int rounds =
      c.way == direction::decompress_bytewise ? 3 * settings.rounds : settings.rounds;
  zlib::coder_type coder;
  bytes out(c.size + c.size / 8 + 2 * c.chunk + 1024, 1);  // touched: no page faults when timed
  bytes scratch(c.size + 1, 1);
  std::vector<double> coder_times, zlib_times, ratios;
  std::size_t coder_calls = 0, zlib_calls = 0;
  for (auto _ : state) {
    for (int round = 0; round < rounds; ++round) {
      double times[2] = {0, 0};
      // Alternate which side goes first, so that neither always inherits the other's caches.
      for (int k = 0; k < 2; ++k) {
        const side who = (round + k) % 2 == 0 ? side::coder : side::zlib;
        std::size_t& calls = who == side::coder ? coder_calls : zlib_calls;
        for (const auto& part : corpus) {
          times[who == side::coder ? 0 : 1] += timed_pass(who, c, part, coder, out, scratch, calls);
        }
      }
      coder_times.push_back(times[0]);
      zlib_times.push_back(times[1]);
      ratios.push_back(times[0] / times[1]);
    }
    state.SetIterationTime(median(coder_times));
  }
  const double total = static_cast<double>(c.size * corpus.size());
  state.counters["coder_MBps"] = total / median(coder_times) / 1e6;
  state.counters["zlib_MBps"] = total / median(zlib_times) / 1e6;
  state.counters["ratio"] = median(ratios);
  state.counters["coder_calls"] = static_cast<double>(coder_calls) / rounds;
  state.counters["zlib_calls"] = static_cast<double>(zlib_calls) / rounds;
  if (c.way == direction::decompress_bytewise) {
    std::vector<double> difference;
    for (std::size_t i = 0; i < coder_times.size(); ++i) {
      difference.push_back(1e9 *
                           (coder_times[i] / static_cast<double>(coder_calls) -
                            zlib_times[i] / static_cast<double>(zlib_calls)) *
                           rounds);
    }
    state.counters["coder_ns_call"] =
        1e9 * median(coder_times) * rounds / static_cast<double>(coder_calls);
    state.counters["zlib_ns_call"] =
        1e9 * median(zlib_times) * rounds / static_cast<double>(zlib_calls);
    state.counters["ns_call_diff"] = median(difference);
  }
}

std::string chunk_image(std::size_t chunk) {
  return chunk >= 1024 ? std::to_string(chunk / 1024) + "K" : std::to_string(chunk);
}

void register_cases() {
  std::vector<std::pair<std::string, case_type>> cases;
  constexpr std::size_t chunks[] = {64, 1024, 16 * 1024, 256 * 1024};
  const std::size_t part = settings.part_size;
  auto size_for = [&](std::size_t chunk, std::size_t limit) {
    return std::min(chunk == 64 ? settings.small_chunk_size : part, limit);
  };
  for (const int level : {1, 6, 9}) {
    for (std::size_t f = 0; f < framings.size(); ++f) {
      for (const std::size_t chunk : chunks) {
        const std::size_t size = size_for(chunk, level == 9   ? settings.level9_size
                                                 : level == 6 ? settings.level6_size
                                                              : part);
        cases.push_back({"deflate-" + std::to_string(level) + "/" + std::string(framings[f].name) +
                             "/" + chunk_image(chunk),
                         {direction::compress, level, f, chunk, size, 0}});
      }
    }
  }
  for (std::size_t f = 0; f < framings.size(); ++f) {
    for (const std::size_t chunk : chunks) {
      cases.push_back(
          {"inflate/" + std::string(framings[f].name) + "/" + chunk_image(chunk),
           {direction::decompress, 0, f, chunk, size_for(chunk, part), size_for(chunk, part)}});
    }
  }
  for (std::size_t f = 0; f < framings.size(); ++f) {
    cases.push_back({"inflate-1B-out/" + std::string(framings[f].name) + "/1",
                     {direction::decompress_bytewise, 0, f, 1, settings.bytewise_size, part}});
  }
  for (const auto& [name, c] : cases) {
    benchmark::RegisterBenchmark(name.c_str(),
                                 [c = c](benchmark::State& state) { run_case(state, c); })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

// ---------------------------------------------------------------------------------------------
// The table.

class table_reporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override {
    PrintBasicContext(&GetErrorStream(), context);
    std::printf(
        "corpus: text %zu KiB + records %zu KiB; the first %zu KiB of each at level 6, %zu KiB at "
        "level 9, %zu KiB at 64 B chunks, %zu KiB of output with a 1 B buffer\n"
        "%d rounds (x3 for the 1 B buffer), coder and zlib interleaved, thread CPU time, "
        "medians; ratio = coder time / zlib time\n",
        settings.part_size >> 10, settings.part_size >> 10, settings.level6_size >> 10,
        settings.level9_size >> 10, settings.small_chunk_size >> 10, settings.bytewise_size >> 10,
        settings.rounds);
    std::printf("%-16s %-7s %6s %11s %11s %7s %7s\n", "case", "framing", "chunk", "coder MB/s",
                "zlib MB/s", "ratio", "target");
    return true;
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      const std::string& name = run.run_name.function_name;
      const std::size_t a = name.find('/'), b = name.rfind('/');
      const std::string what = name.substr(0, a), framing = name.substr(a + 1, b - a - 1),
                        chunk = name.substr(b + 1);
      if (run.error_occurred) {
        std::printf("%-16s %-7s %6s  error: %s\n", what.c_str(), framing.c_str(), chunk.c_str(),
                    run.error_message.c_str());
        continue;
      }
      auto counter = [&](const char* key) {
        const auto it = run.counters.find(key);
        return it == run.counters.end() ? 0.0 : it->second.value;
      };
      const double ratio = counter("ratio");
      const double target = chunk == "64" ? 1.05 : chunk == "1K" ? 1.02 : 1.01;
      if (chunk == "1") {
        bytewise.push_back({framing, counter("coder_ns_call"), counter("zlib_ns_call"),
                            counter("ns_call_diff"), counter("coder_calls")});
        std::printf("%-16s %-7s %6s %11.1f %11.1f %7.3f %7s\n", what.c_str(), framing.c_str(),
                    chunk.c_str(), counter("coder_MBps"), counter("zlib_MBps"), ratio, "ns");
      } else {
        const bool met = ratio <= target;
        (met ? met_count : missed_count) += 1;
        std::printf("%-16s %-7s %6s %11.1f %11.1f %7.3f %7.2f%s\n", what.c_str(), framing.c_str(),
                    chunk.c_str(), counter("coder_MBps"), counter("zlib_MBps"), ratio, target,
                    met ? "" : "  MISSED");
      }
      std::fflush(stdout);
    }
  }

  void Finalize() override {
    if (!bytewise.empty()) {
      std::printf("\n1-byte output buffer, decompression (target: at most 3 ns more per call)\n");
      std::printf("%-7s %10s %14s %13s %13s\n", "framing", "calls", "coder ns/call", "zlib ns/call",
                  "difference");
      for (const auto& row : bytewise) {
        std::printf("%-7s %10.0f %14.2f %13.2f %13.2f%s\n", row.framing.c_str(), row.calls,
                    row.coder_ns, row.zlib_ns, row.difference,
                    row.difference <= 3.0 ? "" : "  MISSED");
      }
    }
    std::printf("\nratio targets met: %d of %d\n", met_count, met_count + missed_count);
  }

 private:
  struct bytewise_row {
    std::string framing;
    double coder_ns, zlib_ns, difference, calls;
  };
  std::vector<bytewise_row> bytewise;
  int met_count = 0, missed_count = 0;
};

// ---------------------------------------------------------------------------------------------

void build_corpus() {
  corpus.push_back({"text", make_text(settings.part_size), {}});
  corpus.push_back({"records", make_records(settings.part_size), {}});
  for (auto& part : corpus) {
    for (std::size_t f = 0; f < framings.size(); ++f) {
      part.packed[{f, part.plain.size()}] = deflate_whole(part.plain, 6, framings[f].window_bits);
    }
  }
}

// Only the N calls with a 1-byte output buffer, for instruction counts under callgrind.
int per_call_mode(std::string_view who, std::size_t calls, std::string_view framing_name) {
  std::size_t f = 0;
  while (f < framings.size() && framings[f].name != framing_name) ++f;
  if (f == framings.size() || (who != "coder" && who != "zlib")) fail("bad --per-call arguments");
  settings.part_size = std::max<std::size_t>(2 * calls, 64 * 1024);
  const bytes plain = make_text(settings.part_size);
  const bytes packed = deflate_whole(plain, 6, framings[f].window_bits);
  bytes out(calls + 1);
  drive_result r;
  if (who == "coder") {
    zlib::coder_type coder;
    coder.inflate_init(zlib::default_window_bits, framings[f].header);
    r = drive_coder_bytewise(coder, packed, out.data(), calls);
  } else {
    z_stream stream{};
    if (inflateInit2(&stream, framings[f].window_bits) != Z_OK) fail("inflateInit2");
    r = drive_zlib_bytewise(stream, packed, out.data(), calls);
    inflateEnd(&stream);
  }
  if (std::memcmp(out.data(), plain.data(), r.written) != 0) fail("per-call output differs");
  std::printf("%s %s: %zu calls, %zu bytes out\n", std::string(who).c_str(),
              std::string(framing_name).c_str(), r.calls, r.written);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string per_call, framing = "zlib";
  std::size_t calls = 100000;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--per-call=")) {
      per_call = arg.substr(11);
    } else if (arg.starts_with("--calls=")) {
      calls = std::stoul(std::string(arg.substr(8)));
    } else if (arg.starts_with("--framing=")) {
      framing = arg.substr(10);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!per_call.empty()) return per_call_mode(per_call, calls, framing);

  if (const char* quick = std::getenv("WRENFOLD_BENCH_QUICK"); quick && *quick && *quick != '0') {
    settings.quick = true;
    settings.rounds = 3;
    settings.part_size = 2 * mib;
    settings.level6_size = 1 * mib;
    settings.level9_size = mib / 2;
    settings.small_chunk_size = 1 * mib;
    settings.bytewise_size = mib / 4;
  }
  if (const char* rounds = std::getenv("WRENFOLD_BENCH_ROUNDS"); rounds && *rounds) {
    settings.rounds = std::max(1, std::atoi(rounds));
  }

  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;
  build_corpus();
  register_cases();
  table_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
