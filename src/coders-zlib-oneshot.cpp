// compress and decompress: a whole buffer through the coder (or the member decoder) in as few
// calls as zlib's 32-bit lengths allow, into an output sized up front.
#include <algorithm>
#include <limits>
#include <string>
#include <wrenfold/coders-zlib-oneshot.hpp>

namespace wrenfold::coders::zlib {

namespace {

constexpr std::size_t max_zlib_length = std::numeric_limits<std::uint32_t>::max();
// How far ahead of the bytes written an output's size runs.
constexpr std::size_t growth_step = std::size_t{256} * 1024;

struct option_range {
  const char* name;
  int deflate_options::*value;
  int low;
  int high;
};
constexpr option_range deflate_ranges[]{
    {"level", &deflate_options::level, default_compression, best_compression},
    {"strategy", &deflate_options::strategy, default_strategy, 4},
    {"window_bits", &deflate_options::window_bits, 8, 15},
    {"memory_level", &deflate_options::memory_level, 1, 9},
};

// The part of data from offset on, at most the 4 GiB - 1 that zlib takes in one call.
template <class T>
basic_element_array<T> window_of(basic_element_array<T> data, std::size_t offset) {
  const std::size_t length = std::min(data.length() - offset, max_zlib_length);
  return {length == 0 ? nullptr : data.data() + offset, length};
}

// Decompressed output: grows up to the limit, then a one-byte probe shows whether the stream
// would go past it.
class bounded_output {
 public:
  bounded_output(std::size_t first_size, std::size_t max_output) : limit(max_output) {
    bytes.reserve(std::min(first_size, max_output));
  }

  // The size runs a step ahead of the bytes written, within the capacity, which doubles when
  // it is used up; so only bytes about to be written are zero-filled.
  element_array room() {
    if (used == bytes.size() && bytes.size() < limit) {
      if (bytes.size() == bytes.capacity()) {
        bytes.reserve(std::min(std::max(bytes.capacity() * 2, growth_step), limit));
      }
      bytes.resize(std::min(bytes.size() + growth_step, bytes.capacity()));
    }
    if (used == bytes.size()) return {&probe, 1};
    return window_of(element_array(bytes), used);
  }

  void produced(element_array room_given, element_index out_last) {
    const auto n = static_cast<std::size_t>(out_last - room_given.first() + 1);
    if (n != 0 && room_given.data() == &probe) {
      throw output_limit_error("decompress: the output exceeds max_output, " +
                               std::to_string(limit) + " bytes");
    }
    used += n;
  }

  std::vector<element> take() {
    bytes.resize(used);
    return std::move(bytes);
  }

 private:
  std::vector<element> bytes;
  std::size_t limit;
  std::size_t used = 0;
  element probe = 0;
};

// A first guess at the decoded size: a gzip file's last four bytes hold its last member's size
// modulo 2^32; other data starts at four times its size. Deflate expands at most 1032 to 1, so
// a lying trailer cannot make the guess larger than the data could decode to.
std::size_t decoded_size_guess(const_element_array data) {
  const std::size_t n = data.length();
  constexpr std::size_t max_ratio = 1032;
  const std::size_t ceiling = n > std::numeric_limits<std::size_t>::max() / max_ratio
                                  ? std::numeric_limits<std::size_t>::max()
                                  : n * max_ratio + 64;
  if (n >= 18 && data.data()[0] == 0x1F && data.data()[1] == 0x8B) {
    const element* tail = data.data() + n - 4;
    const std::size_t stated = std::size_t{tail[0]} | std::size_t{tail[1]} << 8 |
                               std::size_t{tail[2]} << 16 | std::size_t{tail[3]} << 24;
    return std::min(stated + 1, ceiling);  // one byte more, so the end shows without a probe
  }
  return std::min(std::max(4 * n, std::size_t{64} * 1024), ceiling);
}

}  // namespace

void check_options(const deflate_options& options) {
  for (const auto& range : deflate_ranges) {
    const int value = options.*range.value;
    if (value >= range.low && value <= range.high) continue;
    std::string message = "deflate_options: ";
    message += range.name;
    message += ' ' + std::to_string(value) + " outside " + std::to_string(range.low) + ".." +
               std::to_string(range.high);
    if (range.value == &deflate_options::window_bits) {
      message +=
          " (the header mode chooses the framing; zlib's negative and +16/+32 forms are "
          "not taken)";
    }
    throw constraint_error(message);
  }
  (void)image(options.header);  // refuses a value outside the enumeration
}

// Framing bytes each header mode adds around the deflate data.
constexpr std::array<std::size_t, 4> framing_size{0, 6, 6, 18};  // NONE, AUTO, DEFAULT, GZIP

std::size_t compressed_bound(std::size_t n, const deflate_options& options) {
  const std::size_t framing = framing_size[static_cast<std::size_t>(options.header)];
  if (options.window_bits == default_window_bits && options.memory_level == default_memory_level) {
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 7 + framing;
  }
  const std::size_t fixed = n + (n >> 3) + (n >> 8) + (n >> 9) + 4;
  const std::size_t stored = n + (n >> 5) + (n >> 7) + (n >> 11) + 7;
  const std::size_t older = n + ((n + 7) >> 3) + ((n + 63) >> 6) + 5;  // zlib before 1.2.12
  return std::max({fixed, stored, older}) + framing;
}

std::vector<element> compress_with(coder_interface& coder, const_element_array data,
                                   std::size_t bound) {
  // Room for the bound is reserved once; the output's size follows the coder's writes a step
  // ahead, so that only bytes about to be written are zero-filled, while they are in cache.
  std::vector<element> out;
  out.reserve(bound);
  std::size_t in_at = 0, out_at = 0;
  while (!coder.finished()) {
    // Past the bound (never, with a right one) the vector grows rather than lose data.
    if (out_at == out.size()) out.resize(out.size() + std::max(growth_step, out.size() / 8));
    const auto in = window_of(data, in_at);
    const auto room = window_of(element_array(out), out_at);
    const bool last = in_at + in.length() == data.length();
    const auto [in_last, out_last] =
        coder.transcode(in, room, last ? flush_mode::finish : flush_mode::no_flush);
    in_at += static_cast<std::size_t>(in_last + 1);
    out_at += static_cast<std::size_t>(out_last + 1);
  }
  out.resize(out_at);
  return out;
}

std::vector<element> decompress_with(basic_member_decoder& decoder, const_element_array data,
                                     const decompress_options& options) {
  decoder.inflate_init(options.window_bits, options.header);
  bounded_output out(decoded_size_guess(data), options.max_output);
  std::size_t in_at = 0;
  while (!decoder.finished()) {
    // All of the rest at once, under finish: the decoder splits what an engine cannot take in
    // one call.
    const std::size_t rest = data.length() - in_at;
    const const_element_array in(rest == 0 ? nullptr : data.data() + in_at, rest);
    const element_array room = out.room();
    const auto [in_last, out_last] = decoder.transcode(in, room, flush_mode::finish);
    out.produced(room, out_last);
    in_at += static_cast<std::size_t>(in_last + 1);
  }
  return out.take();
}

std::vector<element> compress(const_element_array data, const deflate_options& options) {
  check_options(options);
  // zlib refuses a 256-byte window for raw deflate; its 512-byte window never reaches back more
  // than 250 bytes, so what it writes decodes with the 256-byte window asked for.
  const bool raw_deflate =
      options.header == header_type::NONE || options.header == header_type::GZIP;
  const int window = raw_deflate ? std::max(options.window_bits, 9) : options.window_bits;
  coder_type coder;
  coder.deflate_init(options.level, options.strategy, deflated, window, options.memory_level,
                     options.header);
  return compress_with(coder, data, compressed_bound(data.length(), options));
}

std::vector<element> decompress(const_element_array data, const decompress_options& options) {
  member_decoder decoder;
  return decompress_with(decoder, data, options);
}

}  // namespace wrenfold::coders::zlib
