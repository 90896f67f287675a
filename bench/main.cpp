// wrenfold-bench: every engine of the table (bench/engines.cpp) over the same corpus, in the
// same process, rounds interleaved; one line per case, then the targets of bench/targets.conf.
//
//   wrenfold-bench [--filter=TEXT] [--targets=FILE]
//   wrenfold-bench --per-call=ENGINE [--calls=N] [--framing=zlib|raw|gzip]
//       only N decompression calls with a 1-byte output buffer, for valgrind --tool=callgrind
//   wrenfold-bench --scaling [--threads=1,2,4]
//       the parallel compressor's speed-up by thread count and its size cost by block size
//       (bench/scaling.cpp); the thread counts also from WRENFOLD_BENCH_THREADS, by default 1 up
//       to the machine's cores
// WRENFOLD_BENCH_QUICK=1 shrinks the corpus and the rounds; WRENFOLD_BENCH_ROUNDS=N sets them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <wrenfold/support/samples.hpp>
#include <wrenfold/support/zlib-oracle.hpp>

#include "engines.hpp"
#include "report.hpp"
#include "scaling.hpp"
#include "timing.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
namespace support = wrenfold::support;
using namespace wrenfold::bench;

constexpr std::size_t mib = std::size_t{1} << 20;

struct framing_type {
  const char* name;
  zl::header_type header;
};
constexpr framing_type framings[]{{"zlib", zl::header_type::DEFAULT},
                                  {"raw", zl::header_type::NONE},
                                  {"gzip", zl::header_type::GZIP}};

constexpr std::size_t chunks[]{64, 1024, 16 * 1024, 64 * 1024, 256 * 1024};
// The chunk size of the layers' targets: every engine runs there, the plain ones elsewhere.
constexpr std::size_t layers_chunk = 64 * 1024;

// The threaded cases: the coder, the parallel compressor and pigz on the same input, gzip framing,
// at layers_chunk, timed on the wall clock. They have their own, larger input: the parallel
// compressor's gain is over whole blocks on every thread, which a few MiB hardly shows.
constexpr int threaded_levels[]{1, 6};

struct settings_type {
  int rounds = 5;
  int layer_rounds = 15;  // at layers_chunk, where the targets are 1% apart
  std::size_t part_size = 16 * mib;
  std::size_t small_chunk_size = 1 * mib;  // input at 64-byte chunks
  std::size_t level6_size = 4 * mib;
  std::size_t level9_size = 1 * mib;
  int threaded_rounds = 5;
  std::size_t threaded_size = 48 * mib;
};

struct part_type {
  const char* name;
  bytes plain;
};

std::string human(std::size_t chunk) {
  if (chunk >= mib && chunk % mib == 0) return std::to_string(chunk / mib) + "M";
  return chunk >= 1024 ? std::to_string(chunk / 1024) + "K" : std::to_string(chunk);
}

// Every engine's output is right before it is timed: compressed output decodes with plain zlib.
// Returns the output's size.
std::size_t check_output(const engine_type& row, const job_type& job, bool compressing,
                         std::span<const element> plain) {
  const bytes out = compressing ? row.compress(job) : row.decompress(job);
  if (compressing) {
    const auto decoded = support::zlib_inflate(out, support::zlib_window(job.framing));
    if (!decoded.complete() || decoded.consumed != out.size() ||
        decoded.output.size() != plain.size() ||
        std::memcmp(decoded.output.data(), plain.data(), plain.size()) != 0) {
      fail(std::string(row.name) + " wrote a stream that does not decode to its input");
    }
  } else if (out.size() != plain.size() || std::memcmp(out.data(), plain.data(), plain.size())) {
    fail(std::string(row.name) + " decoded to other bytes");
  }
  return out.size();
}

// A threaded case's label ends in its input size and "wall": "compress L6 gzip text 64K 48M wall".
std::string case_label(const std::string& op, int level, const framing_type& framing,
                       const part_type& part, std::size_t chunk, std::size_t threaded_size = 0) {
  return op + (op == "compress" ? " L" + std::to_string(level) : std::string()) + " " +
         framing.name + " " + part.name + " " + human(chunk) +
         (threaded_size != 0 ? " " + human(threaded_size) + " wall" : std::string());
}

// threaded: the threaded engines and the coder, on the wall clock; otherwise every other engine.
case_result run_case(const settings_type& settings, const std::string& op, int level,
                     const framing_type& framing, std::size_t chunk, const part_type& part,
                     bool threaded = false) {
  const bool compressing = op == "compress";
  std::size_t size = std::min(part.plain.size(), settings.part_size);
  if (chunk == 64) size = std::min(size, settings.small_chunk_size);
  if (level == 6) size = std::min(size, settings.level6_size);
  if (level == 9) size = std::min(size, settings.level9_size);
  if (threaded) size = std::min(part.plain.size(), settings.threaded_size);
  const std::span<const element> plain(part.plain.data(), size);
  const bytes packed =
      compressing ? bytes{} : support::zlib_deflate(plain, 6, support::zlib_window(framing.header));
  const job_type job{compressing ? plain : std::span<const element>(packed), framing.header, level,
                     chunk};

  case_result result{op,
                     compressing ? level : 0,
                     case_label(op, level, framing, part, chunk, threaded ? size : 0),
                     chunk,
                     size,
                     {},
                     {},
                     {}};
  std::vector<std::function<void()>> variants;
  for (const auto& row : engines()) {
    if ((compressing ? row.compress : row.decompress) == nullptr) continue;
    if (chunk != layers_chunk && !row.every_chunk) continue;
    if (threaded ? !row.threaded && row.name != "coder" : row.threaded) continue;
    if (left_out(row.name)) continue;
    if (row.prepare != nullptr) row.prepare(job);
    result.sizes.push_back(check_output(row, job, compressing, plain));
    result.engines.emplace_back(row.name);
    variants.emplace_back([&row, &job, compressing] {
      const bytes out = compressing ? row.compress(job) : row.decompress(job);
      if (out.empty() && !job.input.empty()) fail("no output");
    });
  }
  if (threaded) {
    result.seconds = interleave(settings.threaded_rounds, variants, wall_seconds);
  } else {
    result.seconds =
        interleave(chunk == layers_chunk ? settings.layer_rounds : settings.rounds, variants);
  }
  return result;
}

// Only the N calls with a 1-byte output buffer, for instruction counts under callgrind.
int per_call_mode(std::string_view engine_name, std::size_t calls, std::string_view framing_name) {
  const framing_type* framing = nullptr;
  for (const auto& f : framings) {
    if (f.name == framing_name) framing = &f;
  }
  const engine_type& row = engine(engine_name);
  if (framing == nullptr || row.per_call == nullptr) fail("bad --per-call arguments");
  const bytes plain = support::make_text(std::max<std::size_t>(2 * calls, 64 * 1024));
  const bytes packed = support::zlib_deflate(plain, 6, support::zlib_window(framing->header));
  bytes out(calls + 1);
  const std::size_t written = row.per_call({packed, framing->header, 6, 1}, out.data(), calls);
  if (std::memcmp(out.data(), plain.data(), written) != 0) fail("per-call output differs");
  std::printf("%s %s: %zu calls of one output byte\n", row.name.data(), framing->name, written);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string filter, per_call, framing = "zlib", targets_path = WRENFOLD_BENCH_TARGETS;
  std::size_t calls = 100000;
  bool scaling = false;
  std::vector<unsigned> threads;
  if (const char* list = std::getenv("WRENFOLD_BENCH_THREADS"); list && *list) {
    threads = parse_threads(list);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--filter=")) {
      filter = arg.substr(9);
    } else if (arg.starts_with("--targets=")) {
      targets_path = arg.substr(10);
    } else if (arg.starts_with("--per-call=")) {
      per_call = arg.substr(11);
    } else if (arg.starts_with("--calls=")) {
      calls = std::stoul(std::string(arg.substr(8)));
    } else if (arg.starts_with("--framing=")) {
      framing = arg.substr(10);
    } else if (arg == "--scaling") {
      scaling = true;
    } else if (arg.starts_with("--threads=")) {
      threads = parse_threads(arg.substr(10));
    } else {
      fail("unknown argument " + std::string(arg));
    }
  }
  if (!per_call.empty()) return per_call_mode(per_call, calls, framing);

  settings_type settings;
  if (const char* quick = std::getenv("WRENFOLD_BENCH_QUICK"); quick && *quick && *quick != '0') {
    settings = {3, 5, 2 * mib, mib / 4, 1 * mib, mib / 2, 3, 4 * mib};
  }
  if (const char* rounds = std::getenv("WRENFOLD_BENCH_ROUNDS"); rounds && *rounds) {
    settings.rounds = settings.layer_rounds = settings.threaded_rounds =
        std::max(1, std::atoi(rounds));
  }
  // One text and one records part, large enough for every case; each case takes a prefix.
  const std::size_t part_size = std::max(settings.part_size, settings.threaded_size);
  const part_type parts[]{{"text", support::make_text(part_size)},
                          {"records", support::make_records(part_size)}};
  if (scaling) {
    return scaling_mode({parts[0].plain.data(), settings.threaded_size},
                        {parts[1].plain.data(), settings.threaded_size}, threads,
                        settings.threaded_rounds);
  }
  const auto targets = read_targets(targets_path);

  std::printf(
      "wrenfold-bench: MB/s of uncompressed data (thread CPU time, median of %d rounds, "
      "%d at %s chunks; the cases ending in \"wall\" on the wall clock, median of %d rounds), "
      "ratios of time (median of per-round ratios)\n",
      settings.rounds, settings.layer_rounds, human(layers_chunk).c_str(),
      settings.threaded_rounds);
  for (const auto& row : engines()) {
    if (left_out(row.name)) continue;
    std::printf("  %-8s %.*s\n", row.name.data(), static_cast<int>(row.what.size()),
                row.what.data());
  }
  std::vector<case_result> results;
  const std::pair<const char*, int> ops[]{
      {"compress", 1}, {"compress", 6}, {"compress", 9}, {"decompress", 0}};
  for (const auto& [op, level] : ops) {
    for (const auto& f : framings) {
      for (const std::size_t chunk : chunks) {
        for (const auto& part : parts) {
          if (!filter.empty() &&
              case_label(op, level, f, part, chunk).find(filter) == std::string::npos) {
            continue;
          }
          results.push_back(run_case(settings, op, level, f, chunk, part));
          print_case(results.back(), targets);
        }
      }
    }
  }
  const framing_type& gzip = framings[2];
  for (const int level : threaded_levels) {
    for (const auto& part : parts) {
      const std::string label = case_label("compress", level, gzip, part, layers_chunk,
                                           std::min(part.plain.size(), settings.threaded_size));
      if (!filter.empty() && label.find(filter) == std::string::npos) continue;
      results.push_back(run_case(settings, "compress", level, gzip, layers_chunk, part, true));
      print_case(results.back(), targets);
    }
  }
  const std::size_t met = print_targets(results, targets);
  std::printf("targets met: %zu of %zu\n", met, targets.size());
  return 0;
}
