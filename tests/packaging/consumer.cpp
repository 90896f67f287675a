// A client of the installed libraries: compresses (with the coder, in one call, and on threads),
// decompresses (with the coder and in one call), and catches the library's exceptions by type
// across the shared-library boundary.
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib-parallel.hpp>
#include <wrenfold/coders-zlib.hpp>
#include <wrenfold/version.hpp>

namespace wc = wrenfold::coders;
namespace zl = wrenfold::coders::zlib;

int main() {
  const std::string_view text = "installed and found; installed and found; installed and found";
  const wc::const_element_array input(reinterpret_cast<const wc::element*>(text.data()),
                                      text.size());
  std::vector<wc::element> packed(256), unpacked(256);

  zl::coder_type coder;
  coder.deflate_init(zl::best_compression, zl::default_strategy, zl::deflated,
                     zl::default_window_bits, zl::default_memory_level, zl::header_type::GZIP);
  wc::coder_interface& client = coder;
  const auto packed_last = client.transcode(input, packed, wc::flush_mode::finish).out_last;
  if (!client.finished()) return 1;

  coder.inflate_init(zl::default_window_bits, zl::header_type::AUTO);
  const auto unpacked_last =
      client
          .transcode(wc::const_element_array(packed.data(), std::size_t(packed_last + 1)), unpacked,
                     wc::flush_mode::finish)
          .out_last;
  if (std::string_view(reinterpret_cast<const char*>(unpacked.data()),
                       std::size_t(unpacked_last + 1)) != text) {
    return 2;
  }

  // The one-shot calls and a streambuf, from the installed headers.
  const auto again = zl::decompress(zl::compress(text, {.header = zl::header_type::GZIP}));
  if (std::string_view(reinterpret_cast<const char*>(again.data()), again.size()) != text) return 4;
  std::stringbuf sink;
  {
    zl::coder_type compressor;
    compressor.deflate_init();
    wc::coder_ostreambuf stream(compressor, sink);
    stream.sputn(text.data(), static_cast<std::streamsize>(text.size()));
    stream.finish();
  }
  if (zl::decompress(sink.str()).size() != text.size()) return 5;
  if (std::strcmp(wrenfold::library_version(), WRENFOLD_VERSION_STRING) != 0) return 6;
  {
    zl::parallel_compressor compressor(2);
    compressor.deflate_init({.header = zl::header_type::GZIP});
    const auto last = compressor.transcode(input, packed, wc::flush_mode::finish).out_last;
    const auto back = zl::decompress(wc::const_element_array(packed.data(), std::size_t(last + 1)));
    if (!compressor.finished() || back.size() != text.size()) return 7;
  }

  bool caught_zlib_error = false, caught_constraint_error = false;
  try {
    coder.inflate_init();
    client.transcode(input, unpacked, wc::flush_mode::finish);  // not a zlib stream
  } catch (const zl::zlib_error& e) {
    caught_zlib_error = e.code() == zl::return_code_enum::DATA_ERROR;
  }
  try {
    coder.close();
    (void)client.total_in();
  } catch (const wc::constraint_error&) {
    caught_constraint_error = true;
  }
  std::printf("consumer: wrenfold %s, zlib %s, %zu -> %lld bytes, exceptions caught by type: %s\n",
              wrenfold::library_version(), zl::version().c_str(), text.size(),
              static_cast<long long>(packed_last + 1),
              caught_zlib_error && caught_constraint_error ? "yes" : "no");
  return caught_zlib_error && caught_constraint_error ? 0 : 3;
}
