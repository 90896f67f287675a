/// @file
/// The parallel compressor: one deflate stream (one zlib stream or gzip member) compressed on
/// several threads at once. Input is cut into blocks; each block is compressed on a worker thread
/// primed with the 32 KiB before it, and the blocks join into one standard stream that anything
/// decodes. The output depends only on the input, the options, the block size and where the
/// flushes fall: never on the thread count or on how the input is handed over.
///
/// @code
///   zlib::parallel_compressor compressor(4);
///   compressor.deflate_init({.level = 6, .header = zlib::header_type::GZIP});
///   auto [in_last, out_last] = compressor.transcode(in, room, flush_mode::finish);
/// @endcode
///
/// In libwrenfold_zlib_parallel, which links the threads library; libwrenfold_zlib starts no
/// threads of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <wrenfold/coders-zlib-oneshot.hpp>
#include <wrenfold/coders.hpp>

/// What libwrenfold_zlib_parallel exports; everything else in it stays hidden.
#define WRENFOLD_ZLIB_PARALLEL_API __attribute__((visibility("default")))

namespace wrenfold::coders::zlib {

/// A compressor with the zlib coder's contract whose work runs on worker threads.
///
/// transcode takes input while a block has room (at most 2 x threads blocks are in flight),
/// returns finished blocks in order, and waits for a worker only when the call could make no
/// progress otherwise, or when a flush or finish must be complete before the call returns with
/// output room to spare (as with the coder, room left over means the flush is done). A call that
/// can make no progress at all, not even by waiting, is a zlib_error with code BUF_ERROR, as the
/// coder's is.
///
/// sync_flush and full_flush end the block being filled, so everything handed over so far is
/// decodable once it is out; full_flush also stops the next block's priming at that point.
/// total_in counts the input taken and total_out the output returned, without the 18 bytes of
/// gzip framing, as the coder's totals do.
///
/// Misuse (a closed compressor, both arrays empty, an array longer than 4,294,967,295 bytes,
/// options outside their ranges, a block size outside 1 KiB .. 64 MiB) is a constraint_error;
/// input after finish is a zlib_error with code STREAM_ERROR. A failure on a worker is raised on
/// the caller's thread by the next transcode as a zlib_error with zlib's code. After any error
/// the compressor can be closed or initialised again. Its buffers and zlib streams are made by
/// deflate_init; transcode and the workers allocate nothing per call or per block.
class WRENFOLD_ZLIB_PARALLEL_API parallel_compressor final : public coder_interface {
 public:
  /// threads 0 means std::thread::hardware_concurrency() (at least 1); more than 1024 is a
  /// constraint_error. The threads start with the first deflate_init.
  explicit parallel_compressor(unsigned threads = 0);
  /// Stops and joins the threads, whatever the stream's state; never throws.
  ~parallel_compressor() override;
  parallel_compressor(const parallel_compressor&) = delete;
  parallel_compressor& operator=(const parallel_compressor&) = delete;

  /// Opens (or reopens, dropping the stream in progress) the compressor. block_size is the input
  /// each worker compresses at once: 1 KiB .. 64 MiB; smaller blocks cost compressed size.
  void deflate_init(const deflate_options& options = {}, std::size_t block_size = 128 * 1024);

  bool is_open() const override;
  transcode_result transcode(const_element_array in_data, element_array out_data,
                             flush_mode flush) override;
  element_count total_in() const override;
  element_count total_out() const override;
  bool finished() const override;
  void close() override;

 private:
  struct engine;
  unsigned thread_count;
  std::unique_ptr<engine> state;
};

}  // namespace wrenfold::coders::zlib
