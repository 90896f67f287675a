// A decompression bomb and its decoder, to show that decoding costs no memory beyond the
// caller's buffers however far the data expands.
//
//   bomb-driver make FILE MIB      writes a gzip member of MIB MiB of zero bytes (1 KiB per MiB)
//   bomb-driver decode FILE MIB    decodes FILE through 64 KiB buffers, discarding the output,
//                                  checks that it is MIB MiB of zeros, prints the peak RSS in KiB
//   bomb-driver oneshot FILE LIMIT decodes FILE with decompress() and max_output LIMIT MiB, which
//                                  must refuse it; prints the peak RSS in KiB
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include <wrenfold/coder-streams.hpp>
#include <wrenfold/coders-zlib.hpp>
#include <wrenfold/support/framing.hpp>

namespace {

namespace zl = wrenfold::coders::zlib;
using wrenfold::coders::const_element_array;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::flush_mode;

using bytes = std::vector<element>;
using file_handle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

constexpr std::size_t mib = std::size_t{1} << 20;

file_handle open_file(const char* path, const char* mode) {
  file_handle file(std::fopen(path, mode), &std::fclose);
  if (!file) throw std::runtime_error(std::string("cannot open ") + path);
  return file;
}

// Raw deflate of one MiB of zeros ended by a full flush, as the coder gives it.
bytes flushed_chunk(zl::coder_type& coder, const bytes& zeros) {
  bytes room(2 * mib);
  const auto [in_last, out_last] =
      coder.transcode(const_element_array(zeros.data(), zeros.size()),
                      element_array(room.data(), room.size()), flush_mode::full_flush);
  if (in_last + 1 != static_cast<wrenfold::coders::element_index>(zeros.size())) {
    throw std::runtime_error("compressor left input unconsumed");
  }
  room.resize(static_cast<std::size_t>(out_last + 1));
  return room;
}

// A full flush forgets everything before it, so every further MiB of zeros compresses to the
// same bytes; the member is written from one such chunk repeated, without compressing GiBs.
void make(const char* path, std::size_t mibs) {
  const bytes zeros(mib);
  zl::coder_type coder;
  coder.deflate_init(zl::best_compression, zl::default_strategy, zl::deflated,
                     zl::default_window_bits, zl::default_memory_level, zl::header_type::NONE);
  const bytes first = flushed_chunk(coder, zeros);
  const bytes steady = flushed_chunk(coder, zeros);
  if (flushed_chunk(coder, zeros) != steady) throw std::runtime_error("chunks differ");
  bytes end(64);
  const auto [in_last, out_last] =
      coder.transcode({}, element_array(end.data(), end.size()), flush_mode::finish);
  if (!coder.finished()) throw std::runtime_error("compressor did not finish");
  end.resize(static_cast<std::size_t>(out_last + 1));

  const auto chunk_crc = zl::crc32(0, const_element_array(zeros.data(), zeros.size()));
  uLong crc = 0;
  for (std::size_t i = 0; i < mibs; ++i)
    crc = crc32_combine(crc, chunk_crc, static_cast<z_off_t>(mib));

  const auto file = open_file(path, "wb");
  std::fwrite(zl::simple_gzip_header.data(), 1, zl::simple_gzip_header.size(), file.get());
  for (std::size_t i = 0; i < mibs; ++i) {
    const bytes& chunk = i == 0 ? first : steady;
    std::fwrite(chunk.data(), 1, chunk.size(), file.get());
  }
  std::fwrite(end.data(), 1, end.size(), file.get());
  const bytes trailer =
      wrenfold::support::gzip_trailer(static_cast<std::uint32_t>(crc), mibs * mib);
  std::fwrite(trailer.data(), 1, trailer.size(), file.get());
  if (std::ferror(file.get())) throw std::runtime_error("write failed");
}

void print_peak_rss(const char* what) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s; peak RSS %ld KiB\n", what, usage.ru_maxrss);
}

// The one-shot call must stop at its limit without holding more than the limit.
int decode_oneshot(const char* path, std::size_t limit_mibs) {
  bytes packed;
  {
    const auto file = open_file(path, "rb");
    element chunk[1 << 16];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
      packed.insert(packed.end(), chunk, chunk + n);
    }
  }
  try {
    const auto output = zl::decompress(packed, {.max_output = limit_mibs * mib});
    std::fprintf(stderr, "decompress returned %zu bytes past a limit of %zu MiB\n", output.size(),
                 limit_mibs);
    return 1;
  } catch (const wrenfold::coders::output_limit_error& error) {
    print_peak_rss(error.what());
    return 0;
  }
}

// Streams FILE through the decoder 64 KiB at a time and throws each piece away.
int decode(const char* path, std::size_t mibs) {
  std::filebuf file;
  if (file.open(path, std::ios::in | std::ios::binary) == nullptr) {
    throw std::runtime_error(std::string("cannot open ") + path);
  }
  zl::coder_type coder;
  coder.inflate_init(zl::default_window_bits, zl::header_type::GZIP);
  wrenfold::coders::coder_istreambuf stream(coder, file, 64 * 1024);
  std::vector<char> piece(64 * 1024);
  std::uint64_t produced = 0;
  for (std::streamsize n; (n = stream.sgetn(piece.data(), 64 * 1024)) > 0;) {
    if (std::any_of(piece.begin(), piece.begin() + n, [](char c) { return c != 0; })) {
      std::fprintf(stderr, "decoded a non-zero byte\n");
      return 1;
    }
    produced += static_cast<std::uint64_t>(n);
  }
  const std::string what =
      "decoded " + std::to_string(produced) + " bytes from " + std::to_string(coder.total_in());
  print_peak_rss(what.c_str());
  if (produced != mibs * mib) {
    std::fprintf(stderr, "expected %zu bytes\n", mibs * mib);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s make|decode|oneshot FILE MIB\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const auto mibs = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  try {
    if (mode == "make") {
      make(argv[2], mibs);
      return 0;
    }
    if (mode == "decode") return decode(argv[2], mibs);
    if (mode == "oneshot") return decode_oneshot(argv[2], mibs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "unknown mode %s\n", argv[1]);
  return 2;
}
