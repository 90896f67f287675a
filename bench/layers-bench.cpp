// Cost of the layers above the zlib coder (the one-shot calls, member decoding, the stream
// adapters) against the plain coder loop a client would write instead, with the same 64 KiB
// buffers, measured in one run. Each comparison times its two variants in turn, round by round
// (the order alternating), on thread CPU time; the ratio reported is median(layer) /
// median(plain), and the target is a layer at most 1% slower than the loop it replaces.
//
//   wrenfold-layers-bench [--filter=TEXT]  the table (only the comparisons whose name holds TEXT)
//   wrenfold-layers-bench --only=NAME [--variant=layer|plain]
//                                          one pass of one comparison (both variants, or one),
//                                          for valgrind --tool=callgrind: compare the inclusive
//                                          counts of layer_* and plain_* (callgrind_annotate
//                                          --inclusive=yes)
// WRENFOLD_BENCH_QUICK=1 shrinks the corpus and the rounds; WRENFOLD_LAYERS_ROUNDS=N sets rounds.
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib.hpp>

#include "corpus.hpp"

namespace {

namespace coders = wrenfold::coders;
namespace zlib = wrenfold::coders::zlib;
using coders::const_element_array;
using coders::element;
using coders::element_array;
using coders::element_index;
using coders::flush_mode;
using wrenfold::bench::bytes;

constexpr std::size_t mib = std::size_t{1} << 20;
// Every buffer on both sides of every comparison: output room, stream buffers, pieces written
// and read.
constexpr std::size_t buffer_size = 64 * 1024;
// A layer may cost at most 1% more than the plain loop it replaces.
constexpr double target_ratio = 1.01;

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "wrenfold-layers-bench: " << what << '\n';
  std::exit(1);
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// ---------------------------------------------------------------------------------------------
// The streambufs at either end: a sink that costs nothing but a count (and keeps the bytes when
// asked, for the check), and a source whose get area is a buffer in memory.

class counting_sink final : public std::streambuf {
 public:
  explicit counting_sink(bytes* keep) : keep_(keep) {}
  std::size_t count() const { return count_; }

 protected:
  std::streamsize xsputn(const char_type* s, std::streamsize n) override {
    count_ += static_cast<std::size_t>(n);
    if (keep_ != nullptr) {
      const auto* first = reinterpret_cast<const element*>(s);  // NOLINT: bytes
      keep_->insert(keep_->end(), first, first + n);
    }
    return n;
  }

  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char_type c = traits_type::to_char_type(ch);
    xsputn(&c, 1);
    return ch;
  }

 private:
  bytes* keep_;
  std::size_t count_ = 0;
};

class memory_source final : public std::streambuf {
 public:
  explicit memory_source(const bytes& data) {
    // The get area is only read from; streambuf's interface wants it mutable.
    char* first = const_cast<char*>(reinterpret_cast<const char*>(data.data()));  // NOLINT
    setg(first, first, first + data.size());
  }
};

// What a reader does with each piece it gets: counts it, and keeps it when asked.
void take_piece(const char* piece, std::size_t n, std::size_t& count, bytes* keep) {
  count += n;
  if (keep != nullptr) {
    const auto* first = reinterpret_cast<const element*>(piece);  // NOLINT: bytes
    keep->insert(keep->end(), first, first + n);
  }
}

void open_deflate(zlib::coder_type& coder, int level) {
  coder.deflate_init(level, zlib::default_strategy, zlib::deflated, zlib::default_window_bits,
                     zlib::default_memory_level, zlib::header_type::GZIP);
}

// ---------------------------------------------------------------------------------------------
// The variants. Each does all of its work, coder set-up included, as one call a client would
// make; noinline so that callgrind can count each one's instructions.

// (a) One-shot decompression, against the coder's own gzip reading with 64 KiB of output room
// per call, each call's output appended to a vector; the input is handed over whole.
[[gnu::noinline]] bytes layer_decompress(const bytes& packed) { return zlib::decompress(packed); }

[[gnu::noinline]] bytes plain_decompress(const bytes& packed) {
  zlib::coder_type coder;
  coder.inflate_init(zlib::default_window_bits, zlib::header_type::AUTO);
  std::vector<element> room(buffer_size);
  bytes result;
  const_element_array in(packed);
  while (!coder.finished()) {
    // No flush: the stream's end is in the input, and zlib finds it.
    const auto [in_last, out_last] = coder.transcode(in, room, flush_mode::no_flush);
    result.insert(result.end(), room.begin(), room.begin() + (out_last + 1));
    in = in.slice(in_last + 1, in.last());
  }
  return result;
}

// (b) One-shot gzip compression, against the coder with 64 KiB of output room per call, the
// output appended to a vector; the input is handed over whole, so every call has finish.
[[gnu::noinline]] bytes layer_compress(const bytes& data, int level) {
  return zlib::compress(data, {.level = level, .header = zlib::header_type::GZIP});
}

[[gnu::noinline]] bytes plain_compress(const bytes& data, int level) {
  zlib::coder_type coder;
  open_deflate(coder, level);
  std::vector<element> room(buffer_size);
  bytes result;
  const_element_array in(data);
  while (!coder.finished()) {
    const auto [in_last, out_last] = coder.transcode(in, room, flush_mode::finish);
    result.insert(result.end(), room.begin(), room.begin() + (out_last + 1));
    in = in.slice(in_last + 1, in.last());
  }
  return result;
}

// (c) An std::ostream over coder_ostreambuf written in 64 KiB pieces, against the coder given
// the same pieces and writing each call's output (at most 64 KiB) to the same sink.
[[gnu::noinline]] std::size_t layer_ostream(const bytes& data, int level, bytes* keep) {
  zlib::coder_type coder;
  open_deflate(coder, level);
  counting_sink sink(keep);
  coders::coder_ostreambuf gzip(coder, sink, buffer_size);
  std::ostream out(&gzip);
  const auto* text = reinterpret_cast<const char*>(data.data());  // NOLINT: bytes
  for (std::size_t at = 0; at < data.size(); at += buffer_size) {
    out.write(text + at, static_cast<std::streamsize>(std::min(buffer_size, data.size() - at)));
  }
  gzip.finish();
  if (!out) fail("the ostream failed");
  return sink.count();
}

[[gnu::noinline]] std::size_t plain_ostream(const bytes& data, int level, bytes* keep) {
  zlib::coder_type coder;
  open_deflate(coder, level);
  counting_sink sink(keep);
  std::vector<char> room(buffer_size);
  const element_array out(room);
  auto write_out = [&](element_index out_last) {
    const auto n = static_cast<std::streamsize>(out_last + 1);
    if (n != 0 && sink.sputn(room.data(), n) != n) fail("the sink refused bytes");
  };
  for (std::size_t at = 0; at < data.size(); at += buffer_size) {
    const_element_array in(data.data() + at, std::min(buffer_size, data.size() - at));
    while (!in.empty()) {
      const auto [in_last, out_last] = coder.transcode(in, out, flush_mode::no_flush);
      write_out(out_last);
      in = in.slice(in_last + 1, in.last());
    }
  }
  while (!coder.finished()) {
    write_out(coder.transcode({}, out, flush_mode::finish).out_last);
  }
  if (sink.pubsync() != 0) fail("the sink failed to sync");
  return sink.count();
}

// (d) An std::istream over coder_istreambuf read with read() into a 64 KiB buffer, against the
// coder's own gzip reading fed 64 KiB at a time from the same source into a 64 KiB buffer.
// Decoder is the coder itself (its gzip mode) or member_decoder.
template <class Decoder>
[[gnu::noinline]] std::size_t layer_istream(const bytes& packed, bytes* keep) {
  Decoder decoder;
  if constexpr (std::is_same_v<Decoder, zlib::member_decoder>) {
    decoder.inflate_init(zlib::default_window_bits, zlib::header_type::AUTO);
  } else {
    decoder.inflate_init(zlib::default_window_bits, zlib::header_type::GZIP);
  }
  memory_source source(packed);
  coders::coder_istreambuf gunzip(decoder, source, buffer_size);
  std::istream in(&gunzip);
  std::vector<char> piece(buffer_size);
  std::size_t count = 0;
  for (;;) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    take_piece(piece.data(), static_cast<std::size_t>(in.gcount()), count, keep);
    if (!in) break;
  }
  if (in.bad() || !decoder.finished()) fail("the istream failed");
  return count;
}

[[gnu::noinline]] std::size_t plain_istream(const bytes& packed, bytes* keep) {
  zlib::coder_type coder;
  coder.inflate_init(zlib::default_window_bits, zlib::header_type::GZIP);
  memory_source source(packed);
  std::vector<char> input(buffer_size), piece(buffer_size);
  const element_array out(piece);
  const_element_array pending;
  bool source_ended = false;
  std::size_t count = 0;
  while (!coder.finished()) {
    if (pending.empty() && !source_ended) {
      const std::streamsize n =
          source.sgetn(input.data(), static_cast<std::streamsize>(buffer_size));
      source_ended = n <= 0;
      pending = const_element_array(reinterpret_cast<const element*>(input.data()),  // NOLINT
                                    source_ended ? 0 : static_cast<std::size_t>(n));
    }
    const auto [in_last, out_last] =
        coder.transcode(pending, out, source_ended ? flush_mode::finish : flush_mode::no_flush);
    take_piece(piece.data(), static_cast<std::size_t>(out_last + 1), count, keep);
    pending = pending.slice(in_last + 1, pending.last());
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Checks, with plain zlib so that no layer under test judges its own output.

bytes gzip_with_zlib(const bytes& input, int level) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
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

void check_gunzips(const bytes& packed, const bytes& expected, const std::string& what) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) fail("inflateInit2");
  bytes out(expected.size() + 1);
  stream.next_in = const_cast<element*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int code = inflate(&stream, Z_FINISH);
  const bool good = code == Z_STREAM_END && stream.avail_in == 0 &&
                    stream.total_out == expected.size() &&
                    std::memcmp(out.data(), expected.data(), expected.size()) == 0;
  inflateEnd(&stream);
  if (!good) fail(what + ": the output does not decompress to the input");
}

void check_equal(const bytes& got, const bytes& expected, const std::string& what) {
  if (got != expected) fail(what + ": the output differs from the corpus");
}

// ---------------------------------------------------------------------------------------------
// Comparisons and their rounds.

struct settings_type {
  int rounds = 31;
  std::size_t text_size = 16 * mib;  // decompressed by (a) and (d), gzip level 6
  // Compressed by (b) and (c), half text and half records; level 6 is about five times slower
  // than level 1, so it gets less data and the two take about the same time.
  std::size_t level1_size = 8 * mib;
  std::size_t level6_size = 2 * mib;
};
settings_type settings;

struct corpus_type {
  bytes text;          // decompression's expected output
  bytes text_packed;   // gzip, level 6, by zlib itself
  bytes level1_input;  // compression's input: half text, half records
  bytes level6_input;
};

enum class side { layer, plain };

// One timed pass: run returns its result, which stays alive until the clock has stopped.
template <class F>
double timed(F run) {
  const double start = thread_seconds();
  const auto result = run();
  const double seconds = thread_seconds() - start;
  if constexpr (std::is_same_v<std::remove_cvref_t<decltype(result)>, bytes>) {
    if (result.empty()) fail("empty output");
  }
  return seconds;
}

struct comparison {
  std::string name;
  std::string description;
  std::function<double(side)> pass;  // one timed pass of a variant
  std::function<void(side)> check;   // one pass of a variant, its output checked
  std::vector<double> times[2];      // by side
};

std::vector<comparison> make_comparisons(const corpus_type& corpus) {
  std::vector<comparison> list;
  const bytes& text = corpus.text;
  const bytes& packed = corpus.text_packed;

  list.push_back({"a-decompress",
                  "decompress(gzip data) vs coder loop appending to a vector",
                  [&packed](side who) {
                    return who == side::layer ? timed([&] { return layer_decompress(packed); })
                                              : timed([&] { return plain_decompress(packed); });
                  },
                  [&packed, &text](side who) {
                    check_equal(
                        who == side::layer ? layer_decompress(packed) : plain_decompress(packed),
                        text, "a-decompress");
                  },
                  {}});
  for (const int level : {6, 1}) {
    const std::string suffix = "-" + std::to_string(level);
    const bytes& mixed = level == 6 ? corpus.level6_input : corpus.level1_input;
    list.push_back(
        {"b-compress" + suffix,
         "compress(GZIP, level " + std::to_string(level) + ") vs coder loop appending to a vector",
         [&mixed, level](side who) {
           return who == side::layer ? timed([&] { return layer_compress(mixed, level); })
                                     : timed([&] { return plain_compress(mixed, level); });
         },
         [&mixed, level, suffix](side who) {
           check_gunzips(
               who == side::layer ? layer_compress(mixed, level) : plain_compress(mixed, level),
               mixed, "b-compress" + suffix);
         },
         {}});
  }
  for (const int level : {6, 1}) {
    const std::string suffix = "-" + std::to_string(level);
    const bytes& mixed = level == 6 ? corpus.level6_input : corpus.level1_input;
    list.push_back({"c-ostream" + suffix,
                    "ostream over coder_ostreambuf (level " + std::to_string(level) +
                        ") vs coder loop into the same sink",
                    [&mixed, level](side who) {
                      return who == side::layer
                                 ? timed([&] { return layer_ostream(mixed, level, nullptr); })
                                 : timed([&] { return plain_ostream(mixed, level, nullptr); });
                    },
                    [&mixed, level, suffix](side who) {
                      bytes kept;
                      const std::size_t n = who == side::layer ? layer_ostream(mixed, level, &kept)
                                                               : plain_ostream(mixed, level, &kept);
                      if (n != kept.size()) fail("c-ostream" + suffix + ": the count is wrong");
                      check_gunzips(kept, mixed, "c-ostream" + suffix);
                    },
                    {}});
  }
  auto istream_case = [&](std::string name, std::string description, auto layer) {
    list.push_back({name,
                    std::move(description),
                    [&packed, layer](side who) {
                      return who == side::layer
                                 ? timed([&] { return layer(packed, nullptr); })
                                 : timed([&] { return plain_istream(packed, nullptr); });
                    },
                    [&packed, &text, layer, name](side who) {
                      bytes kept;
                      const std::size_t n =
                          who == side::layer ? layer(packed, &kept) : plain_istream(packed, &kept);
                      if (n != kept.size()) fail(name + ": the count is wrong");
                      check_equal(kept, text, name);
                    },
                    {}});
  };
  istream_case("d-istream-coder", "istream over coder_istreambuf(coder_type) vs coder loop",
               layer_istream<zlib::coder_type>);
  istream_case("d-istream-members", "istream over coder_istreambuf(member_decoder) vs coder loop",
               layer_istream<zlib::member_decoder>);
  return list;
}

bytes half_text_half_records(std::size_t size) {
  bytes data = wrenfold::bench::make_text(size / 2);
  const bytes records = wrenfold::bench::make_records(size - size / 2);
  data.insert(data.end(), records.begin(), records.end());
  return data;
}

corpus_type make_corpus() {
  corpus_type corpus;
  corpus.text = wrenfold::bench::make_text(settings.text_size);
  corpus.text_packed = gzip_with_zlib(corpus.text, 6);
  corpus.level1_input = half_text_half_records(settings.level1_size);
  corpus.level6_input = half_text_half_records(settings.level6_size);
  return corpus;
}

int run_table(std::vector<comparison>& list, const corpus_type& corpus) {
  std::printf(
      "corpus: %zu KiB of text decompressed (gzip, level 6, %zu KiB packed); %zu KiB compressed "
      "at level 1, %zu KiB at level 6 (half text, half records); %zu KiB buffers\n"
      "%d rounds, layer and plain loop interleaved (order alternating), thread CPU time; "
      "ratio = median(layer) / median(plain), met = ratio <= %.2f\n",
      settings.text_size >> 10, corpus.text_packed.size() >> 10, settings.level1_size >> 10,
      settings.level6_size >> 10, buffer_size >> 10, settings.rounds, target_ratio);
  std::fflush(stdout);
  // The check pass doubles as a warm-up: allocator, caches and code paths settle before timing.
  for (auto& c : list) {
    c.check(side::layer);
    c.check(side::plain);
  }
  std::printf("every variant's output checked once (compressed output decoded by plain zlib)\n");
  std::fflush(stdout);
  for (int round = 0; round < settings.rounds; ++round) {
    for (auto& c : list) {
      const side first = round % 2 == 0 ? side::layer : side::plain;
      const side second = first == side::layer ? side::plain : side::layer;
      c.times[static_cast<int>(first)].push_back(c.pass(first));
      c.times[static_cast<int>(second)].push_back(c.pass(second));
    }
  }
  for (const auto& c : list) std::printf("  %-18s %s\n", c.name.c_str(), c.description.c_str());
  std::printf("\n%-18s %9s %9s %7s %4s   %s\n", "comparison", "layer ms", "plain ms", "ratio",
              "met", "per-round ratios: q1 median q3");
  int missed = 0;
  for (const auto& c : list) {
    const auto& layer_times = c.times[static_cast<int>(side::layer)];
    const auto& plain_times = c.times[static_cast<int>(side::plain)];
    const double layer = median(layer_times);
    const double plain = median(plain_times);
    const double ratio = layer / plain;
    // The spread of the per-round ratios shows how much of the difference is noise.
    std::vector<double> round_ratios;
    for (std::size_t i = 0; i < layer_times.size(); ++i) {
      round_ratios.push_back(layer_times[i] / plain_times[i]);
    }
    std::sort(round_ratios.begin(), round_ratios.end());
    const double q1 = round_ratios[round_ratios.size() / 4];
    const double q3 = round_ratios[round_ratios.size() * 3 / 4];
    const double middle = median(round_ratios);
    const bool met = ratio <= target_ratio;
    missed += met ? 0 : 1;
    std::printf("%-18s %9.2f %9.2f %7.4f %4s   %.4f %.4f %.4f\n", c.name.c_str(), 1e3 * layer,
                1e3 * plain, ratio, met ? "yes" : "no", q1, middle, q3);
  }
  std::printf("layer targets met: %zu of %zu\n", list.size() - static_cast<std::size_t>(missed),
              list.size());
  return 0;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string only, variant, filter;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--only=")) {
      only = arg.substr(7);
    } else if (arg.starts_with("--filter=")) {
      filter = arg.substr(9);
    } else if (arg.starts_with("--variant=")) {
      variant = arg.substr(10);
    } else {
      fail("unknown argument " + std::string(arg));
    }
  }
  if (const char* quick = std::getenv("WRENFOLD_BENCH_QUICK"); quick && *quick && *quick != '0') {
    settings.rounds = 5;
    settings.text_size = 2 * mib;
    settings.level1_size = 1 * mib;
    settings.level6_size = mib / 4;
  }
  if (const char* rounds = std::getenv("WRENFOLD_LAYERS_ROUNDS"); rounds && *rounds) {
    settings.rounds = std::max(1, std::atoi(rounds));
  }
  const double start = wall_seconds();
  const corpus_type corpus = make_corpus();
  std::vector<comparison> list = make_comparisons(corpus);
  if (only.empty()) {
    std::erase_if(list,
                  [&](const comparison& c) { return c.name.find(filter) == std::string::npos; });
    if (list.empty()) fail("no comparison name holds " + filter);
    const int status = run_table(list, corpus);
    std::printf("run time: %.0f s\n", wall_seconds() - start);
    return status;
  }

  const auto it =
      std::find_if(list.begin(), list.end(), [&](const comparison& c) { return c.name == only; });
  if (it == list.end()) fail("no comparison named " + only);
  // Untimed in effect: the point is the instruction count of each variant function.
  if (variant != "plain") it->pass(side::layer);
  if (variant != "layer") it->pass(side::plain);
  std::printf("%s: one pass\n", only.c_str());
  return 0;
}
