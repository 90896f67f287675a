// A worker's zlib raw deflate stream, reset for each block: no allocation per block.
#include "block-deflater.hpp"

#include <algorithm>
#include <new>
#include <string>

namespace wrenfold::coders::zlib::parallel {

namespace {

void record_failure(block_type& block, int result, const char* text) noexcept {
  try {
    block.failure = return_code(result);
    block.message = std::string(image(block.failure)) + ": " + (text ? text : zError(result));
  } catch (...) {
    block.failure = return_code_enum::MEM_ERROR;
  }
}

}  // namespace

block_deflater::~block_deflater() {
  if (opened) deflateEnd(&stream);
}

void block_deflater::open(const deflate_options& options) {
  if (opened) deflateEnd(&stream);
  opened = false;
  stream = z_stream{};
  // Raw deflate: the compressor writes the framing. zlib refuses a 256-byte window for raw
  // deflate, and its 512-byte window never reaches back more than 250 bytes.
  const int window = std::max(options.window_bits, 9);
  const int result = deflateInit2(&stream, options.level, Z_DEFLATED, -window, options.memory_level,
                                  options.strategy);
  if (result != Z_OK) {
    const return_code_enum code = return_code(result);
    throw zlib_error(code,
                     std::string(image(code)) + ": " + (stream.msg ? stream.msg : zError(result)));
  }
  opened = true;
}

void block_deflater::compress(block_type& block, const checksum_type& checksum) noexcept {
  if (checksum.update) {
    block.check = checksum.update(checksum.initial, block.input.data(), block.input_size);
  }
  int result = deflateReset(&stream);
  if (result == Z_OK && block.dictionary_size != 0) {
    result = deflateSetDictionary(&stream, block.dictionary.data(),
                                  static_cast<uInt>(block.dictionary_size));
  }
  if (result != Z_OK) return record_failure(block, result, stream.msg);
  stream.next_in = block.input.data();
  stream.avail_in = static_cast<uInt>(block.input_size);
  const int mode = block.last ? Z_FINISH : Z_SYNC_FLUSH;
  std::size_t written = 0;
  for (;;) {
    stream.next_out = block.output.data() + written;
    stream.avail_out = static_cast<uInt>(block.output.size() - written);
    result = deflate(&stream, mode);
    written = block.output.size() - stream.avail_out;
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      return record_failure(block, result, stream.msg);
    }
    // A sync flush is complete once zlib leaves room; a finish once it says the stream ended.
    if (block.last ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out != 0) break;
    // The output room is the block's bound with a margin, so this is not expected; grow
    // rather than lose data.
    try {
      block.output.resize(block.output.size() * 2);
    } catch (const std::bad_alloc&) {
      return record_failure(block, Z_MEM_ERROR, "out of memory for a block's output");
    }
  }
  block.output_size = written;
}

}  // namespace wrenfold::coders::zlib::parallel
