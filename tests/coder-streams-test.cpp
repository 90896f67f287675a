// The streambuf adapters: std::ostream and std::istream over a zlib coder, to memory and to real
// files, in every framing and with buffers as small as one byte; flushes that make everything so
// far decodable while the stream goes on; failures that reach the stream as badbit; the bytes
// after a stream handed back; gzip files of several members; large reads and writes that go
// straight between the caller's memory and the coder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <wrenfold/coder-streams.hpp>

#include "interop.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using wrenfold::coders::coder_interface;
using wrenfold::coders::coder_istreambuf;
using wrenfold::coders::coder_ostreambuf;
using wrenfold::coders::const_element_array;
using wrenfold::coders::element;
using wrenfold::coders::element_array;
using wrenfold::coders::element_count;
using wrenfold::coders::flush_mode;
using wrenfold::coders::transcode_result;
using zl::header_type;

constexpr header_type framings[] = {header_type::NONE, header_type::DEFAULT, header_type::GZIP};

const char* as_chars(const element* data) { return reinterpret_cast<const char*>(data); }
char* as_chars(element* data) { return reinterpret_cast<char*>(data); }
std::streamsize ssize(std::size_t n) { return static_cast<std::streamsize>(n); }

bytes concat(std::span<const element> a, std::span<const element> b) {
  bytes joined(a.begin(), a.end());
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

// Writes data to out in pieces of assorted odd sizes, with the stream's own calls: put, write,
// operator<<.
void write_in_pieces(std::ostream& out, std::span<const element> data) {
  constexpr std::size_t pieces[] = {1, 13, 4099, 257, 3, 10007};
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[i % std::size(pieces)], data.size() - at);
    if (n == 1) {
      out.put(static_cast<char>(data[at]));
    } else if (n == 3) {
      out << std::string_view(as_chars(data.data() + at), n);
    } else {
      out.write(as_chars(data.data() + at), ssize(n));
    }
    at += n;
  }
}

// Reads in until the end of its data, in pieces of assorted odd sizes, with get and read.
bytes read_in_pieces(std::istream& in) {
  constexpr std::size_t pieces[] = {5, 1, 331, 8191, 2, 97};
  bytes data;
  for (std::size_t i = 0; in; ++i) {
    const std::size_t n = pieces[i % std::size(pieces)];
    if (n == 1) {
      const auto c = in.get();
      if (c != std::char_traits<char>::eof()) data.push_back(static_cast<element>(c));
    } else {
      const std::size_t at = data.size();
      data.resize(at + n);
      in.read(as_chars(data.data() + at), ssize(n));
      data.resize(at + static_cast<std::size_t>(in.gcount()));
    }
  }
  return data;
}

void open_decompressor(zl::coder_type& coder, header_type header) {
  coder.inflate_init(zl::default_window_bits, header);
}

// A round trip: written through an std::ostream into memory or a file, checked by plain zlib,
// then read back through an std::istream.
TEST(coder_streams_test, round_trips_through_streams_in_memory_and_files) {
  const scratch_dir dir;
  const bytes texts = sample(data_shape::text, 30011, 3);
  const bytes noise = sample(data_shape::random, 12007, 4);
  int row = 0;
  for (const bool to_file : {false, true}) {
    for (const auto header : framings) {
      for (const std::size_t buffer_size : {1u, 7u, 4096u, 65536u}) {
        for (const bytes* data : {&texts, &noise}) {
          SCOPED_TRACE(::testing::Message()
                       << (to_file ? "file " : "stringbuf ") << header << " buffer " << buffer_size
                       << (data == &texts ? " text" : " random"));
          const auto path = dir / ("stream-" + std::to_string(row++));
          std::stringbuf memory;
          bytes packed;
          {
            std::filebuf file;
            if (to_file) {
              ASSERT_NE(file.open(path, std::ios::out | std::ios::binary), nullptr);
            }
            zl::coder_type coder;
            open_compressor(coder, header);
            coder_ostreambuf buffer(coder, to_file ? static_cast<std::streambuf&>(file) : memory,
                                    buffer_size);
            std::ostream out(&buffer);
            write_in_pieces(out, *data);
            EXPECT_TRUE(out.good());
            EXPECT_NO_THROW(buffer.finish());
          }
          if (to_file) {
            packed = read_file(path);
          } else {
            const std::string text = memory.str();
            packed.assign(text.begin(), text.end());
          }
          EXPECT_TRUE(
              same_bytes(inflate_whole(packed, zlib_window(header, 15, coding::compress)), *data));

          std::ifstream file_in;
          std::stringbuf memory_in(std::string(as_chars(packed.data()), packed.size()),
                                   std::ios::in);
          if (to_file) {
            file_in.open(path, std::ios::binary);
            ASSERT_TRUE(file_in.is_open());
          }
          zl::coder_type coder;
          open_decompressor(coder, header);
          coder_istreambuf buffer(
              coder, to_file ? *file_in.rdbuf() : static_cast<std::streambuf&>(memory_in),
              buffer_size);
          std::istream in(&buffer);
          EXPECT_TRUE(same_bytes(read_in_pieces(in), *data));
          EXPECT_TRUE(in.eof());
          EXPECT_FALSE(in.bad());
        }
      }
    }
  }
}

// Runs a script of operations on a coder_ostreambuf: w writes the next piece of data, f is
// std::flush, x is finish(); the streambuf is destroyed at the end. After every flush the sink
// holds a prefix that plain zlib decodes to everything written so far; a flush or finish with
// nothing new to do adds no byte; the destructor completes a stream left open; and whatever the
// script, the sink ends up with one complete stream (with GZIP one member) and nothing after it.
void check_script(std::string_view script, header_type header, std::size_t buffer_size,
                  bool to_file, const std::filesystem::path& path) {
  static const bytes data = sample(data_shape::text, 40009, 8);
  constexpr std::size_t pieces[] = {5003, 1, 9001, 17};
  const int bits = zlib_window(header, 15, coding::compress);
  fixed_sink memory(4 * data.size() + 4096);
  std::filebuf file;
  if (to_file) {
    ASSERT_NE(file.open(path, std::ios::out | std::ios::binary), nullptr);
  }
  auto sink_bytes = [&] {
    return to_file ? read_file(path) : bytes(memory.contents().begin(), memory.contents().end());
  };

  zl::coder_type coder;
  open_compressor(coder, header);
  std::optional<coder_ostreambuf> buffer;
  buffer.emplace(coder, to_file ? static_cast<std::streambuf&>(file) : memory, buffer_size);
  std::ostream out(&*buffer);
  std::size_t written = 0, pieces_written = 0;
  bool dirty = true;  // written since the last flush, or nothing flushed yet
  bool finished = false;
  for (const char step : script) {
    if (step == 'w') {
      const std::size_t n =
          std::min(pieces[pieces_written++ % std::size(pieces)], data.size() - written);
      out.write(as_chars(data.data() + written), ssize(n));
      written += n;
      dirty = true;
    } else if (step == 'f') {
      const std::size_t before = sink_bytes().size();
      out << std::flush;
      const bytes so_far = sink_bytes();
      ASSERT_FALSE(out.bad()) << "at a flush, with " << so_far.size() << " bytes in the sink";
      if (!dirty || finished) {
        EXPECT_EQ(so_far.size(), before) << "an idle flush wrote";
      }
      if (!finished) {
        const std::span<const element> expected(data.data(), written);
        EXPECT_TRUE(same_bytes(inflate_so_far(so_far, bits), expected));
      }
      dirty = false;
    } else {
      const std::size_t before = sink_bytes().size();
      ASSERT_NO_THROW(buffer->finish());
      if (finished) {
        EXPECT_EQ(sink_bytes().size(), before) << "finish twice wrote";
      }
      finished = true;
    }
  }
  buffer.reset();
  file.close();
  EXPECT_TRUE(out.good());

  const bytes packed = sink_bytes();
  const std::span<const element> expected(data.data(), written);
  // inflate_whole fails unless the stream ends exactly where the sink does.
  EXPECT_TRUE(same_bytes(inflate_whole(packed, bits), expected));
  if (header != header_type::GZIP) return;
  std::size_t headers = 0;
  const auto& member_header = zl::simple_gzip_header;
  for (auto at = packed.begin(); (at = std::search(at, packed.end(), member_header.begin(),
                                                   member_header.end())) != packed.end();
       ++at) {
    ++headers;
  }
  EXPECT_EQ(headers, 1u) << "one gzip member, one header";
  if (!available("gzip --version")) return;
  if (!to_file) write_file(path, packed);
  const auto result = run("gzip -dc < " + shell_word(path));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(same_bytes(bytes(result.output.begin(), result.output.end()), expected));
}

TEST(coder_streams_test, flushes_finish_and_destruction_leave_one_decodable_stream) {
  constexpr std::string_view scripts[] = {
      "wfwfwfx",  // flushes mid-stream
      "fwffwxx",  // a flush before any write, a flush with nothing new, finish twice
      "wfxf",     // a flush after finish
      "wfw",      // the destructor completes a stream flushed earlier
      "w",        // ... one never flushed
      "",         // ... one never written
      "fx",       // nothing written, flushed and finished: a stream of no data
  };
  const scratch_dir dir;
  int row = 0;
  for (const bool to_file : {false, true}) {
    for (const auto header : framings) {
      // The smallest buffers run against the in-memory sink, whose capacity bounds the output.
      for (const std::size_t buffer_size :
           to_file ? std::vector<std::size_t>{7, 4096} : std::vector<std::size_t>{1, 7, 4096}) {
        for (const auto script : scripts) {
          SCOPED_TRACE(::testing::Message()
                       << (to_file ? "file " : "memory ") << header << " buffer " << buffer_size
                       << " script \"" << script << "\"");
          check_script(script, header, buffer_size, to_file,
                       dir / ("script-" + std::to_string(row++)));
        }
      }
    }
  }
}

// A sink that takes fewer bytes than it is given is a failure: finish() throws, an std::ostream
// gets badbit from the call that meets it, nothing more reaches the sink afterwards, and the
// destructor swallows it.
TEST(coder_streams_test, a_short_sink_fails_the_stream) {
  // Enough that deflate, which holds back what it can, passes output on during the large write.
  const bytes data = sample(data_shape::random, 100003, 6);
  enum class meets { finish, flush, large_write, destructor };
  struct row_type {
    const char* name;
    meets where;
  };
  const row_type rows[] = {{"finish()", meets::finish},
                           {"std::flush", meets::flush},
                           {"a write larger than the buffer", meets::large_write},
                           {"the destructor", meets::destructor}};
  for (const auto header : {header_type::DEFAULT, header_type::GZIP}) {
    for (const std::size_t capacity : {0u, 9u}) {
      for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << header << " sink of " << capacity << " bytes, failing at " << row.name);
        fixed_sink sink(capacity);
        zl::coder_type coder;
        open_compressor(coder, header);
        std::optional<coder_ostreambuf> buffer;
        buffer.emplace(coder, sink, 1024);
        std::ostream out(&*buffer);
        switch (row.where) {
          case meets::finish:
            out.write(as_chars(data.data()), 100);
            EXPECT_THROW(buffer->finish(), std::runtime_error);
            break;
          case meets::flush:
            out.write(as_chars(data.data()), 100);
            out << std::flush;
            EXPECT_TRUE(out.bad());
            break;
          case meets::large_write:
            out.write(as_chars(data.data()), ssize(data.size()));
            EXPECT_TRUE(out.bad());
            break;
          case meets::destructor:
            out.write(as_chars(data.data()), 100);
            EXPECT_NO_THROW(buffer.reset());
            EXPECT_EQ(sink.contents().size(), capacity);
            continue;
        }
        EXPECT_EQ(sink.contents().size(), capacity) << "the sink was not filled";
        // The adapter is failed for good: writes and flushes are refused and reach no sink.
        sink.clear();
        out.clear();
        out.write(as_chars(data.data()), 10);
        out << std::flush;
        EXPECT_TRUE(out.bad());
        EXPECT_THROW(buffer->finish(), std::runtime_error);
        EXPECT_NO_THROW(buffer.reset());
        EXPECT_TRUE(sink.contents().empty());
      }
    }
  }
}

// A stream that ends early is an error, never a clean end of file: the bytes delivered are the
// data's own, the istream gets badbit, and with exceptions(badbit) the coder's zlib_error comes
// through with code BUF_ERROR.
TEST(coder_streams_test, a_truncated_stream_reads_as_badbit_and_buf_error) {
  const bytes data = sample(data_shape::text, 9001, 2);
  for (const auto header : framings) {
    const bytes packed = zlib_deflate(data, 6, zlib_window(header, 15, coding::compress));
    for (const std::size_t kept :
         {std::size_t{0}, std::size_t{1}, packed.size() / 2, packed.size() - 1}) {
      for (const std::size_t buffer_size : {1u, 7u, 4096u}) {
        for (const bool throwing : {false, true}) {
          SCOPED_TRACE(::testing::Message()
                       << header << " " << kept << " of " << packed.size() << " bytes, buffer "
                       << buffer_size << (throwing ? ", exceptions(badbit)" : ""));
          memory_source source(std::span(packed.data(), kept));
          zl::coder_type coder;
          open_decompressor(coder, header);
          coder_istreambuf buffer(coder, source, buffer_size);
          std::istream in(&buffer);
          if (throwing) in.exceptions(std::ios::badbit);
          bytes got;
          try {
            got = read_in_pieces(in);
            EXPECT_FALSE(throwing) << "no exception";
          } catch (const zl::zlib_error& error) {
            EXPECT_TRUE(throwing);
            EXPECT_EQ(error.code(), zl::return_code_enum::BUF_ERROR) << error.what();
          } catch (const std::exception& error) {
            ADD_FAILURE() << "not a zlib_error: " << error.what();
          }
          EXPECT_TRUE(in.bad());
          EXPECT_LE(got.size(), data.size());
          EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "not the data";
        }
      }
    }
  }
}

// Bytes that follow the coder's stream in the source are not lost: those the adapter read are
// unconsumed(), the rest is still in the source, and together they are exactly what followed,
// here a second stream that decodes on its own.
TEST(coder_streams_test, bytes_after_the_stream_are_handed_back) {
  const bytes first = sample(data_shape::text, 7001, 11);
  const bytes second = sample(data_shape::random, 503, 12);
  for (const auto header : framings) {
    const int bits = zlib_window(header, 15, coding::compress);
    const bytes following = zlib_deflate(second, 6, bits);
    const bytes source_bytes = concat(zlib_deflate(first, 6, bits), following);
    for (const std::size_t buffer_size : {1u, 7u, 1000u, 65536u}) {
      SCOPED_TRACE(::testing::Message() << header << " buffer " << buffer_size);
      memory_source source(source_bytes);
      zl::coder_type coder;
      open_decompressor(coder, header);
      coder_istreambuf buffer(coder, source, buffer_size);
      std::istream in(&buffer);
      EXPECT_TRUE(same_bytes(read_in_pieces(in), first));
      EXPECT_FALSE(in.bad());

      const const_element_array left = buffer.unconsumed();
      const std::span<const element> handed_back(left.data(), left.length());
      EXPECT_EQ(source.position(), source_bytes.size() - following.size() + handed_back.size())
          << "unconsumed() is not what was read past the stream";
      const bytes rest(source_bytes.begin() + static_cast<std::ptrdiff_t>(source.position()),
                       source_bytes.end());
      const bytes after = concat(handed_back, rest);
      EXPECT_TRUE(same_bytes(after, following));
      EXPECT_TRUE(same_bytes(inflate_whole(after, bits), second));
    }
  }
}

// gzip files made by the real gzip command, concatenated: an istream over a member_decoder
// reads every member in order as one stream.
TEST(coder_streams_test, member_decoder_reads_every_member_of_a_gzip_file) {
  if (!available("gzip --version")) GTEST_SKIP() << "no gzip command";
  const scratch_dir dir;
  const bytes a = sample(data_shape::text, 20011, 21);
  const bytes b = sample(data_shape::random, 3001, 22);
  write_file(dir / "a", a);
  write_file(dir / "b", b);
  write_file(dir / "empty", bytes{});
  const auto made = run("cd " + shell_word(dir.path()) +
                        " && for f in a b empty; do gzip -c \"$f\" > \"$f.gz\" || exit 1; done");
  ASSERT_EQ(made.status, 0) << made.output;
  struct row_type {
    const char* members;  // the files concatenated, in order
    bytes expected;
  };
  const row_type rows[] = {
      {"a.gz b.gz", concat(a, b)},
      {"a.gz empty.gz b.gz", concat(a, b)},
      {"b.gz a.gz", concat(b, a)},
  };
  for (const auto& row : rows) {
    const auto path = dir / "members.gz";
    const auto joined =
        run("cd " + shell_word(dir.path()) + " && cat " + row.members + " > members.gz");
    ASSERT_EQ(joined.status, 0) << joined.output;
    for (const std::size_t buffer_size : {1u, 7u, 4096u, 65536u}) {
      SCOPED_TRACE(::testing::Message() << row.members << ", buffer " << buffer_size);
      std::ifstream file(path, std::ios::binary);
      ASSERT_TRUE(file.is_open());
      zl::member_decoder decoder;
      decoder.inflate_init();
      coder_istreambuf buffer(decoder, *file.rdbuf(), buffer_size);
      std::istream in(&buffer);
      EXPECT_TRUE(same_bytes(read_in_pieces(in), row.expected));
      EXPECT_TRUE(in.eof());
      EXPECT_FALSE(in.bad());
    }
  }
}

// Passes every call to a real coder and notes whether it was handed arrays in the caller's
// memory: how a test sees that a large write or read bypassed the adapter's own buffer.
class watching_coder final : public coder_interface {
 public:
  watching_coder(coder_interface& inner, std::span<const element> watched)
      : inner_(inner), watched_(watched) {}

  bool input_watched = false;   // some call read its input from the watched memory
  bool output_watched = false;  // some call wrote its output into it

  bool is_open() const override { return inner_.is_open(); }
  transcode_result transcode(const_element_array in_data, element_array out_data,
                             flush_mode flush) override {
    input_watched = input_watched || inside(in_data.data());
    output_watched = output_watched || inside(out_data.data());
    return inner_.transcode(in_data, out_data, flush);
  }
  element_count total_in() const override { return inner_.total_in(); }
  element_count total_out() const override { return inner_.total_out(); }
  bool finished() const override { return inner_.finished(); }
  void close() override { inner_.close(); }

 private:
  bool inside(const element* p) const {
    return p != nullptr && std::less_equal<>()(watched_.data(), p) &&
           std::less<>()(p, watched_.data() + watched_.size());
  }

  coder_interface& inner_;
  std::span<const element> watched_;
};

// One write and one read larger than buffer_size, each after a single byte that went through
// the buffer: the coder works on the caller's memory directly, and the bytes are exact.
TEST(coder_streams_test, large_reads_and_writes_go_straight_to_the_coder) {
  const bytes data = sample(data_shape::text, 20011, 31);
  for (const auto header : framings) {
    for (const std::size_t buffer_size : {1u, 7u, 1000u}) {
      SCOPED_TRACE(::testing::Message() << header << " buffer " << buffer_size);
      std::stringbuf memory;
      {
        zl::coder_type coder;
        open_compressor(coder, header);
        watching_coder watching(coder, data);
        coder_ostreambuf buffer(watching, memory, buffer_size);
        std::ostream out(&buffer);
        out.put(static_cast<char>(data[0]));
        out.write(as_chars(data.data() + 1), ssize(data.size() - 1));
        EXPECT_TRUE(out.good());
        EXPECT_TRUE(watching.input_watched) << "the write was copied through the buffer";
        buffer.finish();
      }
      const std::string text = memory.str();
      const bytes packed(text.begin(), text.end());
      EXPECT_TRUE(
          same_bytes(inflate_whole(packed, zlib_window(header, 15, coding::compress)), data));

      bytes got(data.size() + 1);
      zl::coder_type coder;
      open_decompressor(coder, header);
      watching_coder watching(coder, got);
      memory_source source(packed);
      coder_istreambuf buffer(watching, source, buffer_size);
      std::istream in(&buffer);
      in.read(as_chars(got.data()), 1);
      in.read(as_chars(got.data() + 1), ssize(got.size() - 1));
      EXPECT_EQ(static_cast<std::size_t>(in.gcount()), data.size() - 1);
      EXPECT_TRUE(in.eof());
      EXPECT_FALSE(in.bad());
      EXPECT_TRUE(watching.output_watched) << "the read was copied through the buffer";
      got.pop_back();
      EXPECT_TRUE(same_bytes(got, data));
    }
  }
}

}  // namespace
