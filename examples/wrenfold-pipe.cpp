// wrenfold-pipe: compresses standard input to standard output, or decompresses it with -d, as raw
// deflate, zlib or gzip, on the zlib engine (on one thread, or on N with --threads) or (in a build
// with ISA-L) the ISA-L one. After opening the coder it reads through a coder_istreambuf, which
// drives any coder of the family, so the program holds no transcode loop of its own and changing
// engines changes only the coder.
//
//   wrenfold-pipe [-d] [--format raw|zlib|gzip|auto] [--engine zlib|isal] [--threads N]
//                 [-1 .. -9] [--buffer BYTES] < in > out
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib-parallel.hpp>
#include <wrenfold/coders-zlib.hpp>
#ifdef WRENFOLD_PIPE_ISAL
#include <wrenfold/coders-isal.hpp>
#endif

namespace {

namespace coders = wrenfold::coders;
namespace zlib = wrenfold::coders::zlib;

constexpr std::string_view usage =
    "usage: wrenfold-pipe [-d] [--format raw|zlib|gzip|auto] [--engine zlib|isal] [--threads N]\n"
    "                     [-1 .. -9] [--buffer BYTES]\n"
    "  compresses standard input to standard output (gzip by default); -d decompresses.\n"
    "  --format auto detects zlib or gzip on -d and writes zlib otherwise.\n"
    "  -d reads every member of a gzip file, as gzip -d does.\n"
    "  --engine isal uses ISA-L (when built in), which is faster. Its levels are 0..3: -1 is\n"
    "  its 1, -2 .. -5 its 2, -6 .. -9 and no level its 3.\n"
    "  --threads N compresses on N threads with the zlib engine (0: every core); the output is\n"
    "  the same for every N.\n";

// Failures of the program itself; the library reports its own as zlib_error and
// constraint_error.
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct io_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct input_error : std::runtime_error {  // input that ends inside the stream
  using std::runtime_error::runtime_error;
};

enum class engine_type { zlib, isal };

struct options_type {
  bool decompress = false;
  engine_type engine = engine_type::zlib;
  zlib::header_type header = zlib::header_type::GZIP;
  int level = zlib::default_compression;
  std::size_t buffer = 64 * 1024;
  std::optional<unsigned> threads;  // set: the parallel compressor on this many threads
};

options_type parse_options(int argc, char** argv) {
  options_type options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 == argc) throw usage_error(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fwrite(usage.data(), 1, usage.size(), stdout);
      std::exit(0);
    } else if (arg == "-d") {
      options.decompress = true;
    } else if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '1' && arg[1] <= '9') {
      options.level = arg[1] - '0';
    } else if (arg == "--format") {
      const auto name = value();
      if (name == "raw") {
        options.header = zlib::header_type::NONE;
      } else if (name == "zlib") {
        options.header = zlib::header_type::DEFAULT;
      } else if (name == "gzip") {
        options.header = zlib::header_type::GZIP;
      } else if (name == "auto") {
        options.header = zlib::header_type::AUTO;  // compression writes zlib framing
      } else {
        throw usage_error("unknown format '" + std::string(name) + "'");
      }
    } else if (arg == "--engine") {
      const auto name = value();
      if (name == "zlib") {
        options.engine = engine_type::zlib;
      } else if (name == "isal") {
#ifndef WRENFOLD_PIPE_ISAL
        throw usage_error("--engine isal: ISA-L is not built in (build with libisal-dev)");
#endif
        options.engine = engine_type::isal;
      } else {
        throw usage_error("unknown engine '" + std::string(name) + "'");
      }
    } else if (arg == "--threads") {
      const auto text = value();
      unsigned threads = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), threads);
      if (error != std::errc() || end != text.data() + text.size() || threads > 1024) {
        throw usage_error("--threads takes a count from 0 (every core) to 1024");
      }
      options.threads = threads;
    } else if (arg == "--buffer") {
      const auto text = value();
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), options.buffer);
      if (error != std::errc() || end != text.data() + text.size() || options.buffer == 0 ||
          options.buffer > (std::size_t{1} << 30)) {
        throw usage_error("--buffer takes a byte count from 1 to 1073741824");
      }
    } else {
      throw usage_error("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (options.threads && (options.decompress || options.engine != engine_type::zlib)) {
    throw usage_error("--threads is for compression with the zlib engine");
  }
  return options;
}

// Standard input as a streambuf over read(2), so that a failing read is an io_error and never
// looks like the end of the input. Large reads go straight into the caller's memory.
class stdin_source : public std::streambuf {
 public:
  explicit stdin_source(std::size_t size) : buffer_(size) {}

 protected:
  int_type underflow() override {
    const std::size_t n = read_some(buffer_.data(), buffer_.size());
    if (n == 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(buffer_[0]);
  }

  std::streamsize xsgetn(char* s, std::streamsize n) override {
    if (gptr() != egptr()) return std::streambuf::xsgetn(s, n);
    return static_cast<std::streamsize>(read_some(s, static_cast<std::size_t>(n)));
  }

 private:
  static std::size_t read_some(char* into, std::size_t size) {
    ssize_t n;
    do {
      n = ::read(STDIN_FILENO, into, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw io_error(std::string("reading standard input: ") + std::strerror(errno));
    return static_cast<std::size_t>(n);
  }

  std::vector<char> buffer_;
};

// write(2) may take less than it is given; loops until every byte is out.
void write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw io_error(std::string("writing standard output: ") + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Standard input through the coder to standard output: coder_istreambuf drives the coder (no_flush
// while input lasts, finish at its end) until its stream is complete.
void transcode_stdin(coders::coder_interface& coder, std::size_t buffer) {
  stdin_source source(buffer);
  coders::coder_istreambuf stream(coder, source, buffer);
  std::vector<char> chunk(buffer);
  for (std::streamsize n;
       (n = stream.sgetn(chunk.data(), static_cast<std::streamsize>(buffer))) > 0;) {
    write_all(chunk.data(), static_cast<std::size_t>(n));
  }
}

// Like gzip -d: gzip input may hold several members one after another, and zero padding after
// them; anything else after the end of the data is an error, which the decoder reports. Every
// engine's member decoder shares the framing logic, so both engines behave alike here.
void decompress_stdin(zlib::basic_member_decoder& decoder, const options_type& options) {
  decoder.inflate_init(zlib::default_window_bits, options.header);
  try {
    transcode_stdin(decoder, options.buffer);
  } catch (const zlib::zlib_error& error) {
    if (error.code() != zlib::return_code_enum::BUF_ERROR) throw;
    throw input_error(std::string("input ends inside the stream (") + error.what() + ")");
  }
}

#ifdef WRENFOLD_PIPE_ISAL
namespace isal = wrenfold::coders::isal;

// zlib's levels as ISA-L's 1..3: 1 stays 1, 2..5 are 2, and 6..9 and the default are its best.
int isal_level(int zlib_level) {
  if (zlib_level == 1) return 1;
  if (zlib_level >= 2 && zlib_level <= 5) return 2;
  return isal::best_level;
}

void run_isal(const options_type& options) {
  if (options.decompress) {
    isal::member_decoder decoder;
    decompress_stdin(decoder, options);
    return;
  }
  isal::coder_type coder;
  coder.deflate_init(isal_level(options.level), options.header);
  transcode_stdin(coder, options.buffer);
}
#endif

void run(const options_type& options) {
#ifdef WRENFOLD_PIPE_ISAL
  if (options.engine == engine_type::isal) return run_isal(options);
#endif
  if (options.decompress) {
    zlib::member_decoder decoder;
    decompress_stdin(decoder, options);
    return;
  }
  if (options.threads) {
    zlib::parallel_compressor compressor(*options.threads);
    compressor.deflate_init({.level = options.level, .header = options.header});
    transcode_stdin(compressor, options.buffer);
    return;
  }
  zlib::coder_type coder;
  coder.deflate_init(options.level, zlib::default_strategy, zlib::deflated,
                     zlib::default_window_bits, zlib::default_memory_level, options.header);
  transcode_stdin(coder, options.buffer);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    run(parse_options(argc, argv));
    return 0;
  } catch (const usage_error& error) {
    std::fprintf(stderr, "wrenfold-pipe: %s\n%.*s", error.what(), static_cast<int>(usage.size()),
                 usage.data());
    return 2;
  } catch (const std::exception& error) {
    // zlib_error and constraint_error from the library, io_error and input_error from here:
    // each message says what went wrong.
    std::fprintf(stderr, "wrenfold-pipe: %s\n", error.what());
    return 1;
  }
}
