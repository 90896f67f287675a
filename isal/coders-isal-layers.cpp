// The layers on the ISA-L coder: the one-shot calls and member decoding, through the same loops
// and framing logic as the zlib coder's.
#include <algorithm>
#include <array>
#include <string>
#include <wrenfold/coders-isal.hpp>

namespace wrenfold::coders::isal {

namespace {

void check_range(const char* name, int value, int low, int high) {
  if (value >= low && value <= high) return;
  throw constraint_error("deflate_options: " + std::string(name) + ' ' + std::to_string(value) +
                         " outside " + std::to_string(low) + ".." + std::to_string(high));
}

// A bound that holds for any deflate stream: stored blocks of at least 127 bytes cost at most
// 5 bytes each, plus the framing; the loop grows the output should ISA-L ever write more.
std::size_t compressed_bound(std::size_t n, header_type header) {
  constexpr std::array<std::size_t, 4> framing{0, 6, 6, 18};  // NONE, AUTO, DEFAULT, GZIP
  return n + n / 16 + 64 + framing[static_cast<std::size_t>(header)];
}

}  // namespace

std::vector<element> compress(const_element_array data, const deflate_options& options) {
  check_range("level", options.level, fastest, best_level);
  check_range("window_bits", options.window_bits, 8, 15);
  (void)zlib::image(options.header);  // refuses a value outside the enumeration
  coder_type coder;
  coder.deflate_init(options.level, options.header, options.window_bits);
  return zlib::compress_with(coder, data, compressed_bound(data.length(), options.header));
}

std::vector<element> decompress(const_element_array data, const zlib::decompress_options& options) {
  member_decoder decoder;
  return zlib::decompress_with(decoder, data, options);
}

member_decoder::member_decoder() noexcept = default;

member_decoder::~member_decoder() = default;

void member_decoder::open_raw(int window) { inflater.inflate_init(window, header_type::NONE); }

coder_interface& member_decoder::raw() { return inflater; }

}  // namespace wrenfold::coders::isal
