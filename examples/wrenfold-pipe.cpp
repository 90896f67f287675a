// wrenfold-pipe: compresses standard input to standard output, or decompresses it with -d, as raw
// deflate, zlib or gzip. After opening the coder it drives it only through coder_interface, so
// transcode_stream() below is the loop any client of any wrenfold coder writes.
//
//   wrenfold-pipe [-d] [--format raw|zlib|gzip|auto] [-1 .. -9] [--buffer BYTES] < in > out
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace {

namespace coders = wrenfold::coders;
namespace zlib = wrenfold::coders::zlib;

constexpr std::string_view usage =
    "usage: wrenfold-pipe [-d] [--format raw|zlib|gzip|auto] [-1 .. -9] [--buffer BYTES]\n"
    "  compresses standard input to standard output (gzip by default); -d decompresses.\n"
    "  --format auto detects zlib or gzip on -d and writes zlib otherwise.\n"
    "  -d reads every member of a gzip file, as gzip -d does.\n";

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

struct options_type {
  bool decompress = false;
  zlib::header_type header = zlib::header_type::GZIP;
  int level = zlib::default_compression;
  std::size_t buffer = 64 * 1024;
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
  return options;
}

// Standard input, read one buffer at a time; `pending` is what was read and not yet consumed.
struct input_type {
  std::vector<coders::element> buffer;
  coders::const_element_array pending;
  bool at_end = false;

  // Reads more once everything read before has been consumed; at the end of the input,
  // `pending` stays empty and at_end is true.
  void refill() {
    if (!pending.empty() || at_end) return;
    ssize_t n;
    do {
      n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw io_error(std::string("reading standard input: ") + std::strerror(errno));
    at_end = n == 0;
    pending = coders::const_element_array(buffer.data(), static_cast<std::size_t>(n));
  }
};

// write(2) may take less than it is given; loops until every byte is out.
void write_all(const coders::element* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw io_error(std::string("writing standard output: ") + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Feeds the coder until its stream is complete: no_flush while input lasts, then finish.
void transcode_stream(coders::coder_interface& coder, input_type& input,
                      std::vector<coders::element>& room) {
  while (!coder.finished()) {
    input.refill();
    const auto flush = input.at_end ? coders::flush_mode::finish : coders::flush_mode::no_flush;
    const coders::element_array out(room);
    const auto [in_last, out_last] = coder.transcode(input.pending, out, flush);
    write_all(out.data(), static_cast<std::size_t>(out_last - out.first() + 1));
    input.pending = input.pending.slice(in_last + 1, input.pending.last());
  }
}

void run(const options_type& options) {
  input_type input{std::vector<coders::element>(options.buffer), {}, false};
  std::vector<coders::element> room(options.buffer);

  if (!options.decompress) {
    zlib::coder_type coder;
    coder.deflate_init(options.level, zlib::default_strategy, zlib::deflated,
                       zlib::default_window_bits, zlib::default_memory_level, options.header);
    transcode_stream(coder, input, room);
    return;
  }

  // Like gzip -d: gzip input may hold several members one after another, and zero padding after
  // them; anything else after the end of the data is an error, which the decoder reports.
  zlib::member_decoder decoder;
  decoder.inflate_init(zlib::default_window_bits, options.header);
  try {
    transcode_stream(decoder, input, room);
  } catch (const zlib::zlib_error& error) {
    if (error.code() != zlib::return_code_enum::BUF_ERROR) throw;
    throw input_error(std::string("input ends inside the stream (") + error.what() + ")");
  }
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
