// The report: one line per case with each engine's speed and the ratios the targets name, then
// each target with what this run measured. The targets are configuration (bench/targets.conf),
// read at run time, so that changing one changes no code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace wrenfold::bench {

// A case's result: per engine, seconds per round.
struct case_result {
  std::string op;  // "compress" or "decompress"
  int level;       // compression level of the job (zlib's numbering); 0 on decompression
  std::string label;
  std::size_t chunk;
  std::size_t bytes;  // uncompressed bytes per pass
  std::vector<std::string> engines;
  std::vector<std::size_t> sizes;  // per engine, bytes of output of one pass
  std::vector<std::vector<double>> seconds;
};

// ENGINE's time (or, for a size target, compressed size) over BASELINE's for OP at CHUNK bytes
// per call (and, when given, at compression LEVEL), at most (or at least) LIMIT, as the median
// over the cases that have both.
struct target_type {
  std::string engine;
  std::string baseline;
  std::string op;
  std::size_t chunk;
  bool at_most;  // "<=": a cost bound; ">=": a speed-up
  double limit;
  int level = -1;     // -1: every level
  bool size = false;  // "size<=R": a bound on the ratio of output sizes, not of times
};

std::vector<target_type> read_targets(const std::string& path);

// Prints the case's line; the columns are every engine's MB/s, the time ratio of each target
// pair present in the case and of each engine with the engine it is compared with, and on
// compression that pair's ratio of compressed sizes ("size isal/coder 1.002").
void print_case(const case_result& result, const std::vector<target_type>& targets);

// Prints each target with its measured median and worst case; returns how many were met.
std::size_t print_targets(const std::vector<case_result>& results,
                          const std::vector<target_type>& targets);

}  // namespace wrenfold::bench
