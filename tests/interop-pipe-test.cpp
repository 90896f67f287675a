// The example program wrenfold-pipe run end to end: what it writes in each format decodes with
// gzip and Python and with itself, concatenated gzip members decode as gzip -d decodes them, and
// input that is not exactly one stream (or members) fails with a message and a non-zero exit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "interop.hpp"

namespace {

using namespace wrenfold::testing;
using testing::HasSubstr;

const std::string pipe_program = WRENFOLD_PIPE;

// Writes the decoded bytes of a raw, zlib or gzip file to stdout; fails unless the file holds
// exactly one whole stream (gzip: one or more members).
constexpr std::string_view python_decoder = R"(
import gzip, sys, zlib
kind, data = sys.argv[1], open(sys.argv[2], 'rb').read()
if kind == 'gzip':
    out = gzip.decompress(data)
else:
    d = zlib.decompressobj({'raw': -15, 'zlib': 15}[kind])
    out = d.decompress(data) + d.flush()
    if not d.eof or d.unused_data:
        sys.exit('not exactly one stream')
sys.stdout.buffer.write(out)
)";

class pipe_test : public testing::Test {
 protected:
  void SetUp() override {
    if (!available("gzip --version")) GTEST_SKIP() << "the gzip command is missing";
    if (!available(python() + " -c 'import gzip, zlib'")) {
      GTEST_SKIP() << "Python (" << python() << ") is missing";
    }
    write_file(dir / "decode.py", python_decoder);
  }

  // "wrenfold-pipe ARGS < in > out", with paths in the scratch directory.
  command_result pipe(const std::string& args, const std::string& in, const std::string& out) {
    return run(shell_word(pipe_program) + " " + args + " < " + shell_word(dir / in) + " > " +
               shell_word(dir / out));
  }

  // Succeeds when the command's stdout is the content of file `expected`.
  ::testing::AssertionResult gives(const std::string& command, const std::string& expected) {
    const auto result = run(command + " | cmp - " + shell_word(dir / expected));
    if (result.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command << ": " << result.output;
  }

  std::string python_decode(const std::string& kind, const std::string& file) {
    return python() + " " + shell_word(dir / "decode.py") + " " + kind + " " +
           shell_word(dir / file);
  }

  scratch_dir dir;
};

TEST_F(pipe_test, each_format_round_trips_and_peers_read_it) {
  struct format_row {
    const char* format;
    const char* kind;  // what the output is, as the peers call it
    const char* level;
    std::size_t buffer;
    std::size_t size;
  };
  const format_row rows[] = {
      {"gzip", "gzip", "-1", 7, 60000},     {"gzip", "gzip", "", 65536, 300000},
      {"zlib", "zlib", "-9", 4096, 300000}, {"auto", "zlib", "-6", 1, 4000},
      {"raw", "raw", "-5", 333, 100000},
  };
  auto input = sample(data_shape::text, 300000, 5);
  const auto noise = sample(data_shape::random, 20000, 6);
  std::copy(noise.begin(), noise.end(), input.begin() + 1000);  // a stretch that does not compress
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.format << ' ' << row.level << " --buffer " << row.buffer);
    write_file(dir / "in", std::span(input).first(row.size));
    const std::string args = std::string("--format ") + row.format + " " + row.level +
                             " --buffer " + std::to_string(row.buffer);
    // Through a pipe, so that reads come back short.
    const auto made = run("cat " + shell_word(dir / "in") + " | " + shell_word(pipe_program) + " " +
                          args + " > " + shell_word(dir / "packed"));
    ASSERT_EQ(made.status, 0) << made.output;

    EXPECT_TRUE(gives(python_decode(row.kind, "packed"), "in"));
    if (std::string_view(row.kind) == "gzip") {
      EXPECT_TRUE(gives("gzip -dc " + shell_word(dir / "packed"), "in"));
    }
    EXPECT_TRUE(
        gives(shell_word(pipe_program) + " -d " + args + " < " + shell_word(dir / "packed"), "in"));
    if (std::string_view(row.kind) != "raw") {
      EXPECT_TRUE(gives(shell_word(pipe_program) + " -d --format auto --buffer " +
                            std::to_string(row.buffer) + " < " + shell_word(dir / "packed"),
                        "in"));
    }
  }
}

// With --engine isal (a build with ISA-L), each format round-trips and the zlib engine, gzip and
// Python read what it writes; it reads what the zlib engine writes, gzip members included, and
// fails on bad input as the zlib engine does.
TEST_F(pipe_test, isal_engine_round_trips_with_the_zlib_engine_and_peers) {
  write_file(dir / "empty", bytes{});
  const auto probe = pipe("--engine isal", "empty", "probe");
  if (probe.status != 0 && probe.output.find("not built in") != std::string::npos) {
    GTEST_SKIP() << "wrenfold-pipe is built without ISA-L";
  }
  ASSERT_EQ(probe.status, 0) << probe.output;
  auto input = sample(data_shape::text, 200000, 11);
  const auto noise = sample(data_shape::random, 10000, 12);
  std::copy(noise.begin(), noise.end(), input.begin() + 500);
  write_file(dir / "in", input);
  const std::string pipe_word = shell_word(pipe_program);
  struct format_row {
    const char* format;
    const char* kind;
    const char* level;
  };
  const format_row rows[] = {{"gzip", "gzip", "-1"}, {"zlib", "zlib", ""}, {"raw", "raw", "-4"}};
  for (const auto& [format, kind, level] : rows) {
    SCOPED_TRACE(format);
    const std::string args = std::string("--format ") + format + " --buffer 1000 ";
    ASSERT_EQ(pipe(args + "--engine isal " + level, "in", "packed").status, 0);
    EXPECT_TRUE(gives(python_decode(kind, "packed"), "in"));
    EXPECT_TRUE(gives(pipe_word + " -d " + args + "< " + shell_word(dir / "packed"), "in"));
    EXPECT_TRUE(
        gives(pipe_word + " -d --engine isal " + args + "< " + shell_word(dir / "packed"), "in"));
    if (std::string_view(kind) == "gzip") {
      EXPECT_TRUE(gives("gzip -dc " + shell_word(dir / "packed"), "in"));
    }
    ASSERT_EQ(pipe(args, "in", "by-zlib").status, 0);
    EXPECT_TRUE(
        gives(pipe_word + " -d --engine isal " + args + "< " + shell_word(dir / "by-zlib"), "in"));
  }
  // Members of both engines in one file, as gzip -d reads them; garbage after them fails.
  ASSERT_EQ(pipe("--engine isal", "in", "a.gz").status, 0);
  ASSERT_EQ(pipe("-1", "in", "b.gz").status, 0);
  ASSERT_EQ(
      run("cd " + shell_word(dir.path()) + " && cat a.gz b.gz > ab.gz && cat in in > inin").status,
      0);
  EXPECT_TRUE(
      gives(pipe_word + " -d --engine isal --buffer 7 < " + shell_word(dir / "ab.gz"), "inin"));
  auto bad = read_file(dir / "a.gz");
  const std::size_t end = bad.size();
  bad.push_back('x');
  write_file(dir / "bad", bad);
  EXPECT_THAT(pipe("-d --engine isal", "bad", "out").output,
              HasSubstr("DATA_ERROR: trailing data after the end of the stream, starting at input "
                        "byte " +
                        std::to_string(end)));
  write_file(dir / "cut", std::span(bad).first(end - 3));
  EXPECT_THAT(pipe("-d --engine isal", "cut", "out").output,
              HasSubstr("input ends inside the stream"));
}

TEST_F(pipe_test, concatenated_gzip_members_decode_like_gzip_d) {
  write_file(dir / "a", sample(data_shape::text, 30000, 1));
  write_file(dir / "b", sample(data_shape::random, 10000, 2));
  write_file(dir / "empty", bytes{});
  write_file(dir / "c", sample(data_shape::zeros, 5000));
  // Members from gzip and from the pipe itself, an empty one among them.
  ASSERT_EQ(run("gzip -c " + shell_word(dir / "a") + " > " + shell_word(dir / "a.gz")).status, 0);
  ASSERT_EQ(pipe("", "b", "b.gz").status, 0);
  ASSERT_EQ(pipe("--buffer 7", "empty", "empty.gz").status, 0);
  ASSERT_EQ(pipe("-9", "c", "c.gz").status, 0);
  const std::string members = "a.gz b.gz empty.gz c.gz";
  ASSERT_EQ(
      run("cd " + shell_word(dir.path()) + " && cat " + members + " > all.gz && cat a b c > abc")
          .status,
      0);

  EXPECT_TRUE(gives("gzip -dc " + shell_word(dir / "all.gz"), "abc"));  // what gzip -d makes of it
  for (const std::string args : {"-d", "-d --buffer 7", "-d --format auto --buffer 4096"}) {
    SCOPED_TRACE(args);
    EXPECT_TRUE(
        gives(shell_word(pipe_program) + " " + args + " < " + shell_word(dir / "all.gz"), "abc"));
  }
}

TEST_F(pipe_test, input_other_than_whole_streams_fails_with_a_message) {
  write_file(dir / "in", sample(data_shape::text, 50000, 8));
  ASSERT_EQ(pipe("--format gzip", "in", "gz").status, 0);
  ASSERT_EQ(pipe("--format zlib", "in", "z").status, 0);
  ASSERT_EQ(pipe("--format raw", "in", "raw").status, 0);
  const auto gz = read_file(dir / "gz");
  const auto z = read_file(dir / "z");
  const auto raw = read_file(dir / "raw");
  auto join = [](bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  auto cut = [](const bytes& a, std::size_t drop) {
    return bytes(a.begin(), a.end() - static_cast<std::ptrdiff_t>(drop));
  };
  auto flip = [](bytes a, std::size_t from_end) {
    a[a.size() - from_end] ^= 0x01;
    return a;
  };
  const bytes garbage{'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'r', 'e', 'a', 'm'};

  struct bad_row {
    const char* what;
    const char* args;
    bytes input;
    const char* message;
  };
  const bad_row rows[] = {
      {"zlib stream, then more", "-d --format zlib", join(z, z), "after the end of the stream"},
      {"raw stream, then more", "-d --format raw", join(raw, garbage),
       "after the end of the stream"},
      {"gzip member, then garbage", "-d", join(gz, garbage), "DATA_ERROR: "},
      {"zlib stream, then garbage, auto", "-d --format auto", join(z, garbage), "DATA_ERROR: "},
      {"gzip without its last byte", "-d", cut(gz, 1), "input ends inside the stream"},
      {"gzip cut in the data, 1-byte buffer", "-d --buffer 1", cut(gz, 2000),
       "input ends inside the stream"},
      {"gzip header alone", "-d", bytes(gz.begin(), gz.begin() + 10),
       "input ends inside the stream"},
      {"zlib without its check value", "-d --format zlib", cut(z, 4),
       "input ends inside the stream"},
      {"raw cut in the data", "-d --format raw", cut(raw, 100), "input ends inside the stream"},
      {"no input at all", "-d --format auto", bytes{}, "input ends inside the stream"},
      {"gzip with a wrong CRC", "-d", flip(gz, 8), "DATA_ERROR: incorrect data check"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    write_file(dir / "bad", row.input);
    const auto result = pipe(row.args, "bad", "out");
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.output, HasSubstr(row.message));
  }
}

TEST_F(pipe_test, usage_and_output_errors_exit_non_zero) {
  write_file(dir / "in", sample(data_shape::text, 100000, 9));
  struct usage_row {
    const char* args;
    const char* message;
  };
  const usage_row rows[] = {{"--format lz4", "unknown format 'lz4'"},
                            {"--buffer 0", "--buffer takes"},
                            {"--buffer", "--buffer needs a value"},
                            {"-x", "unknown argument '-x'"},
                            {"--engine lz4", "unknown engine 'lz4'"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const auto result = pipe(row.args, "in", "out");
    EXPECT_EQ(result.status, 2);
    EXPECT_THAT(result.output, HasSubstr(row.message));
    EXPECT_THAT(result.output, HasSubstr("usage: wrenfold-pipe"));
  }
  if (std::filesystem::exists("/dev/full")) {
    const auto full =
        run(shell_word(pipe_program) + " < " + shell_word(dir / "in") + " > /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_THAT(full.output, HasSubstr("writing standard output"));
  }
}

}  // namespace
