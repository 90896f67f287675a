// The workers' loop and the hand-over of blocks between them and the caller's thread.
#include "block-pool.hpp"

namespace wrenfold::coders::zlib::parallel {

block_pool::block_pool(unsigned threads) noexcept : thread_count(threads) {}

block_pool::~block_pool() {
  {
    std::lock_guard guard(lock);
    stopping = true;
    taken = submitted;  // queued blocks are not run
  }
  work_ready.notify_all();
  for (auto& worker : workers) {
    try {
      worker.join();
    } catch (...) {
      // join fails only for a thread that is not joinable, which these are.
    }
  }
}

void block_pool::cancel() noexcept {
  std::unique_lock guard(lock);
  taken = submitted;
  work_done.wait(guard, [&] { return running == 0; });
  submitted = taken = 0;
  std::fill(finished.begin(), finished.end(), 0);
}

void block_pool::open(const deflate_options& options, std::size_t block_size,
                      std::size_t dictionary_room, std::size_t output_room,
                      const checksum_type& sums) {
  cancel();
  // No worker holds a block or a stream now, and none takes one until the next submit.
  const std::size_t count = 2 * std::size_t{thread_count};
  blocks.resize(count);
  finished.assign(count, 0);
  for (auto& b : blocks) {
    b.input.resize(block_size);
    b.dictionary.resize(dictionary_room);
    b.output.resize(output_room);
    b.input_size = b.dictionary_size = b.output_size = b.output_taken = 0;
  }
  checksum = &sums;
  while (deflaters.size() < thread_count) deflaters.push_back(std::make_unique<block_deflater>());
  for (auto& deflater : deflaters) deflater->open(options);
  while (workers.size() < thread_count) {
    const std::size_t worker = workers.size();
    workers.emplace_back([this, worker] { work(worker); });
  }
}

void block_pool::release() noexcept {
  cancel();
  blocks.clear();
  blocks.shrink_to_fit();
  finished.clear();
}

void block_pool::submit(std::uint64_t sequence) {
  block_type& b = block(sequence);
  b.output_size = b.output_taken = 0;
  b.failure = return_code_enum::OK;
  {
    std::lock_guard guard(lock);
    submitted = sequence + 1;
  }
  work_ready.notify_one();
}

bool block_pool::done(std::uint64_t sequence) {
  std::lock_guard guard(lock);
  return finished[sequence % finished.size()] == sequence + 1;
}

void block_pool::wait(std::uint64_t sequence) {
  std::unique_lock guard(lock);
  work_done.wait(guard, [&] { return finished[sequence % finished.size()] == sequence + 1; });
}

void block_pool::work(std::size_t worker) noexcept {
  std::unique_lock guard(lock);
  for (;;) {
    work_ready.wait(guard, [&] { return stopping || taken < submitted; });
    if (stopping) return;
    const std::uint64_t sequence = taken++;
    ++running;
    block_type& b = block(sequence);
    const checksum_type& sums = *checksum;
    guard.unlock();
    deflaters[worker]->compress(b, sums);
    guard.lock();
    --running;
    finished[sequence % finished.size()] = sequence + 1;
    work_done.notify_all();
  }
}

}  // namespace wrenfold::coders::zlib::parallel
