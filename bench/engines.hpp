// The engines the benchmark compares, each a row of one table: plain zlib, the zlib coder driven
// through coder_interface, the layers on the coder (one-shot calls, streambufs), in a build with
// ISA-L the ISA-L coder, and the threaded compressors: the parallel compressor and, as its peer,
// the pigz program. A further engine is one more row, and every case, check and report takes it
// up.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>
#include <wrenfold/coders-zlib.hpp>

namespace wrenfold::bench {

using bytes = std::vector<coders::element>;
using coders::element;

// One measured job: the whole input through an engine, at most chunk bytes of input and of
// output room per call (where the engine makes calls).
struct job_type {
  std::span<const element> input;
  coders::zlib::header_type framing;  // NONE, DEFAULT or GZIP
  int level;                          // compression only
  std::size_t chunk;
};

struct engine_type {
  std::string_view name;
  std::string_view what;                     // one line for the report
  bytes (*compress)(const job_type& job);    // null: the engine does not compress
  bytes (*decompress)(const job_type& job);  // job.input is one stream in job.framing
  // Decompresses in calls of one output byte until `calls` bytes are out, so that the cost of a
  // call shows under callgrind; returns the bytes out. Null where a call is not the unit.
  std::size_t (*per_call)(const job_type& job, element* out, std::size_t calls);
  // Runs at every chunk size; the others run only at the layers' chunk size.
  bool every_chunk;
  // The engine every case line compares this one with, in time and (on compression) in
  // compressed size; empty for none.
  std::string_view compared_with;
  // Runs only in the threaded cases, beside the coder, timed on the wall clock: its work is done
  // on other threads or in another process, which the caller's CPU time does not see.
  bool threaded;
  // Stages what the engine needs, outside the timed part (pigz: the input as a file); null for
  // nothing.
  void (*prepare)(const job_type& job);
  // Whether this machine has what the engine needs (pigz: the program); null for always.
  bool (*available)();
};

// The threads of the parallel compressor's row and of pigz's: the cores of the machine the targets
// were set on.
inline constexpr unsigned bench_threads = 2;

// The whole input through a parallel_compressor of that many threads and that block size, in the
// coder's loop.
bytes parallel_compress(const job_type& job, unsigned threads, std::size_t block_size);

std::span<const engine_type> engines();

// The engine of that name; a name no engine has is fatal.
const engine_type& engine(std::string_view name);

// True for an engine of the table that this build or machine leaves out (isal without ISA-L, pigz
// without the program), so that targets may name it.
bool left_out(std::string_view name);

[[noreturn]] void fail(std::string_view what);

}  // namespace wrenfold::bench
