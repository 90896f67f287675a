// The engine table and the loops behind it. The plain-zlib loop and the coder loop have the same
// shape, so that their difference is the coder's: each call hands over the input not yet
// consumed (at most chunk bytes) and chunk bytes of fresh room just after what was written, with
// finish once the last input is handed over. They stay hand-written rather than use the tests'
// drive loop, whose per-call checks would be timed too.
#include "engines.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <streambuf>
#include <string>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib-parallel.hpp>
#include <wrenfold/support/zlib-oracle.hpp>
#ifdef WRENFOLD_BENCH_ISAL
#include <wrenfold/coders-isal.hpp>
#endif

namespace wrenfold::bench {

namespace {

namespace zl = coders::zlib;
using coders::flush_mode;

// Output grows a chunk at a time, from a first guess that is reserved once.
class output_type {
 public:
  explicit output_type(std::size_t guess) { bytes_.reserve(guess); }
  element* room(std::size_t chunk) {
    bytes_.resize(written_ + chunk);
    return bytes_.data() + written_;
  }
  void wrote(std::size_t n) { written_ += n; }
  std::size_t written() const { return written_; }
  bytes take() {
    bytes_.resize(written_);
    return std::move(bytes_);
  }

 private:
  bytes bytes_;
  std::size_t written_ = 0;
};

std::size_t guess_for(const job_type& job, bool compressing) {
  return compressing ? job.input.size() / 2 + 1024 : job.input.size() * 4 + 1024;
}

// Plain zlib, as a program without the coder drives it.
bytes zlib_run(const job_type& job, bool compressing) {
  z_stream stream{};
  const int window = support::zlib_window(job.framing);
  const int init = compressing
                       ? deflateInit2(&stream, job.level, Z_DEFLATED, window, 8, Z_DEFAULT_STRATEGY)
                       : inflateInit2(&stream, window);
  if (init != Z_OK) fail("zlib refused the settings");
  output_type out(guess_for(job, compressing));
  std::size_t consumed = 0;
  int code = Z_OK;
  while (code != Z_STREAM_END) {
    const std::size_t in_size = std::min(job.chunk, job.input.size() - consumed);
    const bool last = consumed + in_size == job.input.size();
    stream.next_in = const_cast<element*>(job.input.data() + consumed);  // NOLINT: zlib reads
    stream.avail_in = static_cast<uInt>(in_size);
    stream.next_out = out.room(job.chunk);
    stream.avail_out = static_cast<uInt>(job.chunk);
    code =
        compressing ? deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH) : inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) fail("zlib failed");
    consumed += in_size - stream.avail_in;
    out.wrote(job.chunk - stream.avail_out);
  }
  compressing ? deflateEnd(&stream) : inflateEnd(&stream);
  return out.take();
}

// Any coder of the family, as its client drives it.
bytes coder_run(coders::coder_interface& coder, const job_type& job, bool compressing) {
  output_type out(guess_for(job, compressing));
  std::size_t consumed = 0;
  while (!coder.finished()) {
    const std::size_t in_size = std::min(job.chunk, job.input.size() - consumed);
    const bool last = consumed + in_size == job.input.size();
    const auto [in_last, out_last] =
        coder.transcode({job.input.data() + consumed, in_size}, {out.room(job.chunk), job.chunk},
                        last ? flush_mode::finish : flush_mode::no_flush);
    consumed += static_cast<std::size_t>(in_last + 1);
    out.wrote(static_cast<std::size_t>(out_last + 1));
  }
  return out.take();
}

bytes zlib_compress(const job_type& job) { return zlib_run(job, true); }
bytes zlib_decompress(const job_type& job) { return zlib_run(job, false); }

bytes coder_compress(const job_type& job) {
  zl::coder_type coder;
  coder.deflate_init(job.level, zl::default_strategy, zl::deflated, zl::default_window_bits,
                     zl::default_memory_level, job.framing);
  return coder_run(coder, job, true);
}
bytes coder_decompress(const job_type& job) {
  zl::coder_type coder;
  coder.inflate_init(zl::default_window_bits, job.framing);
  return coder_run(coder, job, false);
}

bytes oneshot_compress(const job_type& job) {
  return zl::compress(job.input, {.level = job.level, .header = job.framing});
}
bytes oneshot_decompress(const job_type& job) {
  return zl::decompress(
      job.input, {.header = job.framing, .max_output = std::numeric_limits<std::size_t>::max()});
}

// The streambufs' ends: a sink that appends to bytes, a source over the input.
class append_sink : public std::streambuf {
 public:
  explicit append_sink(std::size_t guess) : out_(guess) {}
  bytes take() { return out_.take(); }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const auto count = static_cast<std::size_t>(n);
    std::copy_n(s, count, out_.room(count));
    out_.wrote(count);
    return n;
  }
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      const char c = traits_type::to_char_type(ch);
      xsputn(&c, 1);
    }
    return traits_type::not_eof(ch);
  }

 private:
  output_type out_;
};

class memory_source : public std::streambuf {
 public:
  explicit memory_source(std::span<const element> data) {
    char* first = const_cast<char*>(reinterpret_cast<const char*>(data.data()));  // NOLINT
    setg(first, first, first + data.size());
  }
};

bytes streams_compress(const job_type& job) {
  zl::coder_type coder;
  coder.deflate_init(job.level, zl::default_strategy, zl::deflated, zl::default_window_bits,
                     zl::default_memory_level, job.framing);
  append_sink sink(guess_for(job, true));
  coders::coder_ostreambuf stream(coder, sink, job.chunk);
  for (std::size_t at = 0; at < job.input.size(); at += job.chunk) {
    const std::size_t n = std::min(job.chunk, job.input.size() - at);
    stream.sputn(reinterpret_cast<const char*>(job.input.data() + at),  // NOLINT: bytes
                 static_cast<std::streamsize>(n));
  }
  stream.finish();
  return sink.take();
}

bytes streams_decompress(const job_type& job) {
  zl::member_decoder decoder;
  decoder.inflate_init(zl::default_window_bits, job.framing);
  memory_source source(job.input);
  coders::coder_istreambuf stream(decoder, source, job.chunk);
  output_type out(guess_for(job, false));
  for (;;) {
    const std::streamsize n = stream.sgetn(reinterpret_cast<char*>(out.room(job.chunk)),  // NOLINT
                                           static_cast<std::streamsize>(job.chunk));
    if (n <= 0) break;
    out.wrote(static_cast<std::size_t>(n));
  }
  return out.take();
}

std::size_t zlib_per_call(const job_type& job, element* out, std::size_t calls) {
  z_stream stream{};
  if (inflateInit2(&stream, support::zlib_window(job.framing)) != Z_OK) fail("inflateInit2");
  std::size_t consumed = 0, written = 0;
  int code = Z_OK;
  while (code != Z_STREAM_END && written < calls) {
    const std::size_t in_size = job.input.size() - consumed;
    stream.next_in = const_cast<element*>(job.input.data() + consumed);  // NOLINT: zlib reads
    stream.avail_in = static_cast<uInt>(in_size);
    stream.next_out = out + written;
    stream.avail_out = 1;
    code = inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END) fail("zlib failed");
    consumed += in_size - stream.avail_in;
    written += 1 - stream.avail_out;
  }
  inflateEnd(&stream);
  return written;
}

// Any coder of the family, opened for decompression, in calls of one output byte.
std::size_t coder_per_call_run(coders::coder_interface& coder, const job_type& job, element* out,
                               std::size_t calls) {
  std::size_t consumed = 0, written = 0;
  while (!coder.finished() && written < calls) {
    const auto [in_last, out_last] =
        coder.transcode({job.input.data() + consumed, job.input.size() - consumed},
                        {out + written, 1}, flush_mode::no_flush);
    consumed += static_cast<std::size_t>(in_last + 1);
    written += static_cast<std::size_t>(out_last + 1);
  }
  return written;
}

std::size_t coder_per_call(const job_type& job, element* out, std::size_t calls) {
  zl::coder_type coder;
  coder.inflate_init(zl::default_window_bits, job.framing);
  return coder_per_call_run(coder, job, out, calls);
}

#ifdef WRENFOLD_BENCH_ISAL
namespace isal = coders::isal;

// The job's zlib level as ISA-L's: 1 (zlib's fastest useful level) as ISA-L's 1, and 6 and 9 as
// ISA-L's best, 3, the pairs the README's engine table compares.
int isal_level(int zlib_level) { return zlib_level <= 1 ? 1 : isal::best_level; }

bytes isal_compress(const job_type& job) {
  isal::coder_type coder;
  coder.deflate_init(isal_level(job.level), job.framing);
  return coder_run(coder, job, true);
}
bytes isal_decompress(const job_type& job) {
  isal::coder_type coder;
  coder.inflate_init(zl::default_window_bits, job.framing);
  return coder_run(coder, job, false);
}
std::size_t isal_per_call(const job_type& job, element* out, std::size_t calls) {
  isal::coder_type coder;
  coder.inflate_init(zl::default_window_bits, job.framing);
  return coder_per_call_run(coder, job, out, calls);
}
#endif

bytes parallel_default(const job_type& job) {
  return parallel_compress(job, bench_threads, 128 * 1024);
}

// pigz, the program, as a shell pipeline runs it: the input from a file on its standard input,
// the stream read back from a pipe on its standard output. The file is written once per input,
// outside the timed part, and unlinked at once, so that nothing is left behind.
struct staged_input {
  const element* data = nullptr;
  std::size_t size = 0;
  int fd = -1;
};
staged_input staged;

void pigz_prepare(const job_type& job) {
  if (staged.fd >= 0 && staged.data == job.input.data() && staged.size == job.input.size()) return;
  if (staged.fd >= 0) close(staged.fd);
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/wrenfold-bench-XXXXXX";
  staged = {job.input.data(), job.input.size(), mkstemp(path.data())};
  if (staged.fd < 0) fail("cannot make a file for pigz's input in " + path);
  unlink(path.c_str());
  for (std::size_t at = 0; at < job.input.size();) {
    const ssize_t n = write(staged.fd, job.input.data() + at, job.input.size() - at);
    if (n <= 0) fail("cannot write pigz's input");
    at += static_cast<std::size_t>(n);
  }
}

bool pigz_available() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = std::min(rest.find(':'), rest.size());
    const std::string candidate = std::string(rest.substr(0, colon)) + "/pigz";
    if (access(candidate.c_str(), X_OK) == 0) return true;
    rest.remove_prefix(std::min(colon + 1, rest.size()));
  }
  return false;
}

bytes pigz_compress(const job_type& job) {
  if (job.framing == zl::header_type::NONE) fail("pigz writes no raw deflate");
  pigz_prepare(job);
  if (lseek(staged.fd, 0, SEEK_SET) != 0) fail("cannot rewind pigz's input");
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) fail("cannot make a pipe for pigz");
  std::string threads = std::to_string(bench_threads), level = "-";
  level += std::to_string(job.level);
  std::string program = "pigz", p = "-p", c = "-c", n = "-n", z = "-z";
  std::vector<char*> args{program.data(), p.data(), threads.data(),
                          level.data(),   c.data(), n.data()};
  if (job.framing != zl::header_type::GZIP) args.push_back(z.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, staged.fd, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  pid_t child = 0;
  const int spawned =
      posix_spawnp(&child, "pigz", &actions, nullptr, args.data(), environ);  // NOLINT
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (spawned != 0) fail("cannot run pigz");
  output_type out(guess_for(job, true));
  for (;;) {
    const ssize_t got = read(pipe_ends[0], out.room(job.chunk), job.chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail("cannot read pigz's output");
    if (got == 0) break;
    out.wrote(static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("cannot wait for pigz");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("pigz failed");
  return out.take();
}

constexpr engine_type engine_table[]{
    {"zlib", "plain zlib, driven by a loop of the coder's shape", zlib_compress, zlib_decompress,
     zlib_per_call, true, "", false, nullptr, nullptr},
    {"coder", "zlib::coder_type through coder_interface", coder_compress, coder_decompress,
     coder_per_call, true, "", false, nullptr, nullptr},
    {"oneshot", "zlib::compress and zlib::decompress", oneshot_compress, oneshot_decompress,
     nullptr, false, "", false, nullptr, nullptr},
    {"streams", "coder_ostreambuf over coder_type, coder_istreambuf over member_decoder",
     streams_compress, streams_decompress, nullptr, false, "", false, nullptr, nullptr},
#ifdef WRENFOLD_BENCH_ISAL
    {"isal",
     "isal::coder_type through the coder's loop; zlib level 1 as ISA-L level 1, 6 and 9 as 3",
     isal_compress, isal_decompress, isal_per_call, true, "coder", false, nullptr, nullptr},
#endif
    {"parallel", "zlib::parallel_compressor through the coder's loop, 2 threads, 128K blocks",
     parallel_default, nullptr, nullptr, false, "coder", true, nullptr, nullptr},
    {"pigz", "the pigz program, -p 2, same level, from a file into a pipe read back", pigz_compress,
     nullptr, nullptr, false, "coder", true, pigz_prepare, pigz_available},
};

#ifdef WRENFOLD_BENCH_ISAL
constexpr std::string_view left_out_engines[]{""};
#else
constexpr std::string_view left_out_engines[]{"isal"};
#endif

}  // namespace

bytes parallel_compress(const job_type& job, unsigned threads, std::size_t block_size) {
  zl::parallel_compressor compressor(threads);
  compressor.deflate_init({.level = job.level, .header = job.framing}, block_size);
  return coder_run(compressor, job, true);
}

void fail(std::string_view what) {
  std::fprintf(stderr, "wrenfold-bench: %.*s\n", static_cast<int>(what.size()), what.data());
  std::exit(1);
}

std::span<const engine_type> engines() { return engine_table; }

const engine_type& engine(std::string_view name) {
  for (const auto& row : engine_table) {
    if (row.name == name) return row;
  }
  fail("no engine named " + std::string(name));
}

bool left_out(std::string_view name) {
  if (name.empty()) return false;
  if (std::find(std::begin(left_out_engines), std::end(left_out_engines), name) !=
      std::end(left_out_engines)) {
    return true;
  }
  const engine_type& row = engine(name);
  return row.available != nullptr && !row.available();
}

}  // namespace wrenfold::bench
