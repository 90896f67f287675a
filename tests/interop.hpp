// Helpers for the interop tests: a scratch directory, files, shell commands, the peers that
// read and write the same streams (the system gzip and Python), and whole streams through the
// coder.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "support.hpp"

namespace wrenfold::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "wrenfold-interop-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, std::span<const coders::element> data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

inline void write_file(const std::filesystem::path& path, std::string_view text) {
  write_file(path, std::span(reinterpret_cast<const coders::element*>(text.data()), text.size()));
}

inline bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A path as one shell word.
inline std::string shell_word(const std::filesystem::path& path) {
  std::string word = "'";
  for (char c : path.string()) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

struct command_result {
  int status;          // exit status; -1 when the command did not exit normally
  std::string output;  // what it wrote to stdout and stderr
};

// Runs a shell command line, collecting its stdout and stderr.
inline command_result run(const std::string& command) {
  command_result result{-1, {}};
  FILE* pipe = ::popen(("( " + command + " ) 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run: " << command;
    return result;
  }
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

// The Python that tests/CMakeLists.txt found, else python3 from the PATH.
inline std::string python() {
  const char* found = std::getenv("WRENFOLD_PYTHON");
  return found != nullptr && *found != '\0' ? found : "python3";
}

// True when the command line runs and succeeds; for skipping tests whose peer is missing.
inline bool available(const std::string& command) {
  return run(command + " >/dev/null").status == 0;
}

// Whether a decompressing command line, given the packed file last, succeeds (no warning about
// trailing bytes either) and writes exactly the expected file's bytes; its messages otherwise.
inline ::testing::AssertionResult command_decodes(const std::string& command,
                                                  const std::filesystem::path& packed,
                                                  const std::filesystem::path& expected) {
  const std::string decoded = shell_word(packed.string() + ".decoded");
  const auto result = run(command + " " + shell_word(packed) + " > " + decoded + " && cmp " +
                          decoded + " " + shell_word(expected));
  if (result.status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << command << ": " << result.output;
}

// Equality of byte strings that reports where they part instead of printing them whole.
inline ::testing::AssertionResult same_bytes(std::span<const coders::element> actual,
                                             std::span<const coders::element> expected) {
  const auto [a, e] = std::ranges::mismatch(actual, expected);
  if (a == actual.end() && e == expected.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual.size() << " bytes where " << expected.size() << " were expected, first "
         << "difference at byte " << (a - actual.begin());
}

// One whole stream through our coder, driven by pump.
inline bytes compress(coders::zlib::header_type header, int level,
                      std::span<const coders::element> input, drive_options options) {
  namespace zl = coders::zlib;
  zl::coder_type coder;
  coder.deflate_init(level, zl::default_strategy, zl::deflated, zl::default_window_bits,
                     zl::default_memory_level, header);
  options.counts_framing = header == zl::header_type::GZIP;
  return pump(coder, input, options);
}

inline bytes decompress(coders::zlib::header_type header, std::span<const coders::element> input,
                        const drive_options& options) {
  coders::zlib::coder_type coder;
  coder.inflate_init(coders::zlib::default_window_bits, header);
  auto output = pump(coder, input, options);
  EXPECT_TRUE(coder.finished());
  return output;
}

}  // namespace wrenfold::testing
