// One worker's zlib stream: compresses one block at a time into raw deflate that ends on a byte
// boundary, so that blocks compressed apart join into one stream.
#pragma once

#include <zlib.h>

#include "block.hpp"

namespace wrenfold::coders::zlib::parallel {

class block_deflater {
 public:
  block_deflater() = default;
  ~block_deflater();
  block_deflater(const block_deflater&) = delete;
  block_deflater& operator=(const block_deflater&) = delete;

  // (Re)opens the stream with the options' level, strategy, window and memory level; zlib's
  // refusal is a zlib_error with its code. Called while no block runs on it.
  void open(const deflate_options& options);

  // Compresses block.input primed with block.dictionary, and its checksum with checksum's
  // update. A failure is recorded in the block, never thrown: it is raised on the caller's
  // thread.
  void compress(block_type& block, const checksum_type& checksum) noexcept;

 private:
  z_stream stream{};
  bool opened = false;
};

}  // namespace wrenfold::coders::zlib::parallel
