// The worker threads and the ring of blocks they share with the caller's thread. Blocks are
// numbered in stream order; the caller fills block `submitted`, submits it, and later takes the
// results in the same order. Workers take submitted blocks first come first served, so any
// block runs on any thread and the result does not depend on which.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "block-deflater.hpp"

namespace wrenfold::coders::zlib::parallel {

class block_pool {
 public:
  explicit block_pool(unsigned threads) noexcept;
  // Stops the workers, waiting for the blocks they are running, and joins them. Never throws.
  ~block_pool();
  block_pool(const block_pool&) = delete;
  block_pool& operator=(const block_pool&) = delete;

  // Drops the blocks in flight, then makes blocks_in_flight blocks of block_size bytes of input
  // and output_room bytes of output, opens each worker's stream with options and starts the
  // workers if they have not started yet. Allocates; nothing after it does.
  void open(const deflate_options& options, std::size_t block_size, std::size_t dictionary_room,
            std::size_t output_room, const checksum_type& checksum);

  // Drops the blocks in flight (waiting for those running) and frees the buffers.
  void release() noexcept;

  std::size_t size() const noexcept { return blocks.size(); }
  block_type& block(std::uint64_t sequence) noexcept { return blocks[sequence % blocks.size()]; }

  // Hands block `sequence` (the next in order) to the workers.
  void submit(std::uint64_t sequence);
  // Whether a worker has finished block `sequence`; wait() blocks until it has.
  bool done(std::uint64_t sequence);
  void wait(std::uint64_t sequence);

 private:
  void cancel() noexcept;
  void work(std::size_t worker) noexcept;

  unsigned thread_count;
  std::vector<std::unique_ptr<block_deflater>> deflaters;  // one per worker
  std::vector<block_type> blocks;
  std::vector<std::thread> workers;
  const checksum_type* checksum = &no_checksum;

  std::mutex lock;
  std::condition_variable work_ready;   // a block was submitted, or the pool stops
  std::condition_variable work_done;    // a worker finished a block
  std::uint64_t submitted = 0;          // blocks handed over
  std::uint64_t taken = 0;              // blocks workers have taken (or that were dropped)
  std::vector<std::uint64_t> finished;  // per block: the sequence last finished there, plus 1
  unsigned running = 0;
  bool stopping = false;
};

}  // namespace wrenfold::coders::zlib::parallel
