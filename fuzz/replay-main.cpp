// A main for builds without libFuzzer: runs the fuzz target once on every file named, or found
// in a directory named, on the command line. A failing check aborts, so the run fails.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "fuzz-support.hpp"

namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::cerr << "usage: " << argv[0] << " CORPUS_DIR_OR_FILE...: no input files found\n";
    return 2;
  }
  std::sort(files.begin(), files.end());  // a stable order, so that logs compare
  for (const auto& file : files) {
    const auto bytes = read_file(file);
    std::cout << file.filename().string() << " (" << bytes.size() << " bytes)" << std::endl;
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::cout << files.size() << " inputs replayed\n";
  return 0;
}
