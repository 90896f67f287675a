// Interop with real peers: the system gzip and Python's gzip and zlib modules read what the coder
// writes, and the coder reads what they write, in every framing mode that accepts the stream and
// in no other, whatever the buffer sizes and chunking. gzip, pigz and Python read what the
// parallel compressor writes.
#include "interop.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <wrenfold/coders-zlib-parallel.hpp>

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::StartsWith;
using testing::ThrowsMessage;
using zl::header_type;

struct chunking_row {
  const char* name;
  drive_options options;
};
const chunking_row chunkings[] = {
    {"1-byte buffers", {.in_chunk = 1, .out_chunk = 1, .first = -3}},
    {"7-byte buffers", {.in_chunk = 7, .out_chunk = 7}},
    {"4096-byte buffers", {.in_chunk = 4096, .out_chunk = 4096, .first = 0}},
    {"random chunks", {.in_chunk = 1500, .out_chunk = 1500, .seed = 29}},
};

struct shape_row {
  const char* name;
  data_shape shape;
};
const shape_row shapes[] = {
    {"text", data_shape::text}, {"random", data_shape::random}, {"zeros", data_shape::zeros}};

constexpr std::size_t sample_size = 20000;

// Framings by the name the peers know them by.
const std::map<std::string, std::vector<header_type>> readers{
    {"raw", {header_type::NONE}},
    {"zlib", {header_type::DEFAULT, header_type::AUTO}},
    {"gzip", {header_type::GZIP, header_type::AUTO}},
};
const std::map<std::string, std::vector<header_type>> refusers{
    {"raw", {header_type::DEFAULT, header_type::GZIP, header_type::AUTO}},
    {"zlib", {header_type::NONE, header_type::GZIP}},
    {"gzip", {header_type::NONE, header_type::DEFAULT}},
};

// Reads lines "KIND PACKED EXPECTED": decodes PACKED with Python as KIND (raw, zlib, gzip) and
// compares with EXPECTED. A stream must end exactly where the file does.
constexpr std::string_view python_checker = R"(
import gzip, sys, zlib
failures = 0
for line in open(sys.argv[1]):
    kind, packed, expected = line.split()
    data, want = open(packed, 'rb').read(), open(expected, 'rb').read()
    wbits = {'raw': -15, 'zlib': 15, 'gzip': 31}[kind]
    try:
        d = zlib.decompressobj(wbits)
        got = d.decompress(data) + d.flush()
        results = [('zlib wbits %d' % wbits, got, d.eof and not d.unused_data)]
        if kind == 'zlib':
            results.append(('zlib.decompress', zlib.decompress(data), True))
        if kind == 'gzip':
            results.append(('gzip.decompress', gzip.decompress(data), True))
    except Exception as e:
        results = [('decoding', repr(e), False)]
    for reader, got, whole in results:
        if got != want or not whole:
            print(packed, kind, reader, 'differs' if whole else 'does not end with the file')
            failures += 1
sys.exit(1 if failures else 0)
)";

// For each input file named on the command line writes streams made by Python, and lists them as
// "KIND PACKED ORIGINAL LABEL" in peers.txt.
constexpr std::string_view python_producer = R"(
import gzip, sys, zlib
def deflate(data, level, wbits, mem=8, strategy=zlib.Z_DEFAULT_STRATEGY, flushes=False):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, mem, strategy)
    if flushes:
        half = len(data) // 2
        out = (c.compress(data[:half]) + c.flush(zlib.Z_FULL_FLUSH) + c.compress(data[half:])
               + c.flush(zlib.Z_SYNC_FLUSH))
    else:
        out = c.compress(data)
    return out + c.flush()
with open('peers.txt', 'w') as listing:
    for name in sys.argv[1:]:
        data = open(name, 'rb').read()
        streams = [
            ('zlib', 'zlib.compress', zlib.compress(data)),
            ('zlib', 'zlib.compress-9', zlib.compress(data, 9)),
            ('zlib', 'compressobj-15-window-10-filtered', deflate(data, 6, 10, 9, zlib.Z_FILTERED)),
            ('zlib', 'compressobj-15-huffman-only', deflate(data, 6, 15, 8, zlib.Z_HUFFMAN_ONLY)),
            ('raw', 'compressobj-minus-15-level-1', deflate(data, 1, -15)),
            ('raw', 'compressobj-minus-15-flushes', deflate(data, 6, -15, flushes=True)),
            ('gzip', 'compressobj-31-level-9', deflate(data, 9, 31)),
            ('gzip', 'compressobj-31-flushes', deflate(data, 6, 31, flushes=True)),
            ('gzip', 'gzip.compress', gzip.compress(data, mtime=1700000000)),
        ]
        for i, (kind, label, packed) in enumerate(streams):
            out = '%s.py%d' % (name, i)
            open(out, 'wb').write(packed)
            print(kind, out, name, label, file=listing)
)";

class interop_test : public testing::Test {
 protected:
  void SetUp() override {
    if (!available("gzip --version")) GTEST_SKIP() << "the gzip command is missing";
    if (!available(python() + " -c 'import gzip, zlib'")) {
      GTEST_SKIP() << "Python (" << python() << ") is missing";
    }
  }

  // Writes each sample shape to in-<shape>.
  void write_samples() {
    for (const auto& shape : shapes) {
      write_file(dir / (std::string("in-") + shape.name), sample(shape.shape, sample_size, 3));
    }
  }

  scratch_dir dir;
};

TEST_F(interop_test, our_streams_decode_with_gzip_and_python) {
  struct format_row {
    header_type header;
    const char* kind;
  };
  const format_row formats[] = {{header_type::GZIP, "gzip"},
                                {header_type::DEFAULT, "zlib"},
                                {header_type::AUTO, "zlib"},
                                {header_type::NONE, "raw"}};
  const int levels[] = {zl::default_compression, zl::best_speed, zl::best_compression,
                        zl::no_compression};
  write_samples();
  std::string manifest;
  std::size_t n = 0;
  for (const auto& shape : shapes) {
    const std::string expected = std::string("in-") + shape.name;
    const auto input = read_file(dir / expected);
    for (const auto& format : formats) {
      for (const auto& chunking : chunkings) {
        SCOPED_TRACE(testing::Message()
                     << shape.name << ", " << format.header << ", " << chunking.name);
        const int level = levels[n % std::size(levels)];
        const std::string packed = "ours-" + std::to_string(n++);
        write_file(dir / packed, compress(format.header, level, input, chunking.options));
        manifest += std::string(format.kind) + ' ' + packed + ' ' + expected + '\n';
        if (format.header == header_type::GZIP) {
          const auto gzip = run("gzip -dc " + shell_word(dir / packed) + " | cmp - " +
                                shell_word(dir / expected));
          EXPECT_EQ(gzip.status, 0) << "gzip -dc: " << gzip.output;
        }
      }
    }
  }
  write_file(dir / "manifest.txt", manifest);
  write_file(dir / "check.py", python_checker);
  const auto checked =
      run("cd " + shell_word(dir.path()) + " && " + python() + " check.py manifest.txt");
  EXPECT_EQ(checked.status, 0) << checked.output;
}

// The parallel compressor's streams, from empty through one block to many, each with a sync
// flush halfway, on one worker and on three: gzip and pigz read the gzip members, pigz the zlib
// streams, and Python's zlib and gzip modules both.
TEST_F(interop_test, parallel_streams_decode_with_gzip_pigz_and_python) {
  if (!available("pigz --version")) GTEST_SKIP() << "the pigz command is missing";
  constexpr std::size_t block_size = 4096;
  struct format_row {
    header_type header;
    const char* kind;
    std::vector<std::string> commands;
  };
  const format_row formats[] = {{header_type::GZIP, "gzip", {"gzip -dc", "pigz -dc"}},
                                {header_type::DEFAULT, "zlib", {"pigz -dzc"}}};
  const std::size_t sizes[] = {0, 1000, block_size, 9 * block_size + 123};
  const auto text = sample(data_shape::text, sizes[std::size(sizes) - 1], 5);
  std::string manifest;
  for (const std::size_t size : sizes) {
    const std::string expected = "parallel-in-" + std::to_string(size);
    const std::span<const wrenfold::coders::element> input(text.data(), size);
    write_file(dir / expected, input);
    for (const auto& format : formats) {
      for (const unsigned threads : {1U, 3U}) {
        SCOPED_TRACE(testing::Message()
                     << size << " bytes, " << format.header << ", " << threads << " threads");
        zl::parallel_compressor compressor(threads);
        compressor.deflate_init({.header = format.header}, block_size);
        const auto packed = pump(compressor, input,
                                 {.in_chunk = size / 2 + 1,
                                  .out_chunk = threads == 1 ? std::size_t{1} << 16 : 333,
                                  .flush = wrenfold::support::flush_policy::sync_then_finish,
                                  .flush_chunks = true,
                                  .counts_framing = format.header == header_type::GZIP});
        const std::string name = expected + "-" + format.kind + "-" + std::to_string(threads);
        write_file(dir / name, packed);
        manifest += std::string(format.kind) + ' ' + name + ' ' + expected + '\n';
        for (const auto& command : format.commands) {
          EXPECT_TRUE(command_decodes(command, dir / name, dir / expected));
        }
      }
    }
  }
  write_file(dir / "manifest.txt", manifest);
  write_file(dir / "check.py", python_checker);
  const auto checked =
      run("cd " + shell_word(dir.path()) + " && " + python() + " check.py manifest.txt");
  EXPECT_EQ(checked.status, 0) << checked.output;
}

TEST_F(interop_test, peer_streams_decode_with_our_coder_in_the_framings_that_read_them) {
  write_samples();
  write_file(dir / "produce.py", python_producer);
  const auto produced = run("cd " + shell_word(dir.path()) + " && " + python() +
                            " produce.py in-text in-random in-zeros");
  ASSERT_EQ(produced.status, 0) << produced.output;
  const auto python_listing = read_file(dir / "peers.txt");
  std::string listing(python_listing.begin(), python_listing.end());
  // gzip itself: without a name at level 1, and with the file name and time at level 9.
  for (const auto& shape : shapes) {
    const std::string original = std::string("in-") + shape.name;
    const auto made = run("cd " + shell_word(dir.path()) + " && gzip -c -1 < " + original + " > " +
                          original + ".gz1 && gzip -c -9 " + original + " > " + original + ".gz9");
    ASSERT_EQ(made.status, 0) << made.output;
    listing += "gzip " + original + ".gz1 " + original + " gzip-1-from-stdin\n";
    listing += "gzip " + original + ".gz9 " + original + " gzip-9-with-name\n";
  }

  std::istringstream lines(listing);
  std::string kind, packed_name, original_name, label;
  int streams = 0;
  while (lines >> kind >> packed_name >> original_name >> label) {
    ++streams;
    const auto packed = read_file(dir / packed_name);
    const auto original = read_file(dir / original_name);
    for (const auto header : readers.at(kind)) {
      for (const auto& chunking : chunkings) {
        SCOPED_TRACE(testing::Message() << label << " of " << original_name << ", read as "
                                        << header << ", " << chunking.name);
        EXPECT_TRUE(same_bytes(decompress(header, packed, chunking.options), original));
      }
    }
    for (const auto header : refusers.at(kind)) {
      SCOPED_TRACE(testing::Message()
                   << label << " of " << original_name << ", read as " << header);
      EXPECT_THAT([&] { decompress(header, packed, chunkings[2].options); },
                  ThrowsMessage<zl::zlib_error>(StartsWith("DATA_ERROR: ")));
    }
  }
  EXPECT_EQ(streams, 11 * 3);
}

}  // namespace
