// parallel_compressor: the caller's side. It cuts the input into blocks, primes each with the
// window before it, hands them to the pool, returns their output in order between the framing's
// header and trailer, and combines the blocks' checksums for the trailer.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <wrenfold/coders-zlib-framing.hpp>
#include <wrenfold/coders-zlib-parallel.hpp>

#include "block-pool.hpp"

namespace wrenfold::coders::zlib {

namespace {

constexpr unsigned max_threads = 1024;
constexpr std::size_t min_block_size = 1024;
constexpr std::size_t max_block_size = std::size_t{64} << 20;
// Room past zlib's bound: a sync flush's empty stored block, or a final empty block.
constexpr std::size_t flush_margin = 64;

unsigned resolve_threads(unsigned threads) {
  if (threads > max_threads) {
    throw constraint_error("parallel_compressor: threads " + std::to_string(threads) +
                           " outside 0.." + std::to_string(max_threads));
  }
  if (threads == 0) threads = std::thread::hardware_concurrency();
  return std::max(threads, 1U);
}

enum class phase_type { header, body, trailer, done };

[[noreturn]] void no_progress() {
  throw zlib_error(return_code_enum::BUF_ERROR,
                   "BUF_ERROR: parallel_compressor: no progress possible (no output room, or no "
                   "input and nothing to flush)");
}

}  // namespace

struct parallel_compressor::engine {
  explicit engine(unsigned threads) : pool(threads) {}

  parallel::block_pool pool;
  bool open = false;
  std::size_t block_size = 0;
  const parallel::checksum_type* checksum = &parallel::no_checksum;
  bool gzip = false;

  // Framing bytes still to write: the header, then the trailer (frame[framed .. frame_end)).
  phase_type phase = phase_type::done;
  std::array<element, 10> frame{};
  std::size_t framed = 0, frame_end = 0;

  // The last window of input handed to blocks, the dictionary of the next block.
  std::vector<element> history;
  std::size_t history_size = 0;

  std::uint64_t next = 0;  // the block being filled; blocks head .. next - 1 are in flight
  std::uint64_t head = 0;  // the oldest block whose output is not all returned
  bool ended = false;      // finish has closed the last block
  std::uint32_t check = 0;
  std::uint64_t data_bytes = 0;
  std::uint64_t total_in = 0, total_out = 0, gzip_framing_out = 0;
  return_code_enum failure = return_code_enum::OK;
  std::string failure_text;

  struct cursor {
    const_element_array in;
    element_array out;
    std::size_t in_used = 0, out_used = 0;
    std::size_t in_rest() const { return in.length() - in_used; }
    std::size_t out_rest() const { return out.length() - out_used; }
  };

  void run(cursor& at, flush_mode flush);
  void emit_frame(cursor& at);
  void drain(cursor& at);
  void take(cursor& at);
  void apply(flush_mode flush);
  void dispatch(bool last);
  void keep_history(const parallel::block_type& b);
  void start_trailer();
  void await_head();
  [[noreturn]] void fail(return_code_enum code, const std::string& text);

  bool slot_free() const { return next - head < pool.size(); }
};

void parallel_compressor::engine::fail(return_code_enum code, const std::string& text) {
  failure = code;
  failure_text = text;
  throw zlib_error(code, text);
}

void parallel_compressor::engine::emit_frame(cursor& at) {
  const std::size_t n = std::min(frame_end - framed, at.out_rest());
  if (n != 0) std::memcpy(at.out.data() + at.out_used, frame.data() + framed, n);
  framed += n;
  at.out_used += n;
  if (gzip) gzip_framing_out += n;
}

// Returns the output of finished blocks, in order, as far as the room goes; never waits.
void parallel_compressor::engine::drain(cursor& at) {
  while (head != next && at.out_rest() != 0 && pool.done(head)) {
    parallel::block_type& b = pool.block(head);
    if (b.failure != return_code_enum::OK) fail(b.failure, b.message);
    const std::size_t n = std::min(b.output_size - b.output_taken, at.out_rest());
    std::memcpy(at.out.data() + at.out_used, b.output.data() + b.output_taken, n);
    b.output_taken += n;
    at.out_used += n;
    if (b.output_taken != b.output_size) return;
    if (checksum->combine) check = checksum->combine(check, b.check, b.input_size);
    data_bytes += b.input_size;
    b.input_size = 0;  // free for a later block
    ++head;
  }
}

// Copies input into the block being filled while a block is free; a full block goes to work.
void parallel_compressor::engine::take(cursor& at) {
  while (at.in_rest() != 0 && !ended && slot_free()) {
    parallel::block_type& b = pool.block(next);
    const std::size_t n = std::min(at.in_rest(), block_size - b.input_size);
    std::memcpy(b.input.data() + b.input_size, at.in.data() + at.in_used, n);
    b.input_size += n;
    at.in_used += n;
    if (b.input_size == block_size) dispatch(false);
  }
}

// A flush ends the block being filled, if it holds anything; finish ends the stream with it,
// even empty, once a block is free.
void parallel_compressor::engine::apply(flush_mode flush) {
  if (ended) return;
  if (flush == flush_mode::finish) {
    if (slot_free()) {
      dispatch(true);
      ended = true;
    }
    return;
  }
  if (slot_free() && pool.block(next).input_size != 0) dispatch(false);
  if (flush == flush_mode::full_flush) history_size = 0;
}

void parallel_compressor::engine::dispatch(bool last) {
  parallel::block_type& b = pool.block(next);
  std::memcpy(b.dictionary.data(), history.data(), history_size);
  b.dictionary_size = history_size;
  b.last = last;
  keep_history(b);
  pool.submit(next);
  ++next;
}

// The window before the next block: the end of the history, then this block's input.
void parallel_compressor::engine::keep_history(const parallel::block_type& b) {
  const std::size_t window = history.size();
  if (b.input_size >= window) {
    std::memcpy(history.data(), b.input.data() + (b.input_size - window), window);
    history_size = window;
    return;
  }
  const std::size_t keep = std::min(history_size, window - b.input_size);
  std::memmove(history.data(), history.data() + (history_size - keep), keep);
  std::memcpy(history.data() + keep, b.input.data(), b.input_size);
  history_size = keep + b.input_size;
}

void parallel_compressor::engine::start_trailer() {
  framed = 0;
  frame_end = 0;
  if (gzip) {
    put_le32(frame.data(), check);
    put_le32(frame.data() + 4, static_cast<std::uint32_t>(data_bytes));
    frame_end = 8;
  } else if (checksum->combine) {
    put_be32(frame.data(), check);
    frame_end = 4;
  }
  phase = phase_type::trailer;
}

void parallel_compressor::engine::await_head() {
  pool.wait(head);
  const parallel::block_type& b = pool.block(head);
  if (b.failure != return_code_enum::OK) fail(b.failure, b.message);
}

void parallel_compressor::engine::run(cursor& at, flush_mode flush) {
  for (;;) {
    if (phase == phase_type::header) {
      emit_frame(at);
      if (framed == frame_end) phase = phase_type::body;
    }
    if (phase == phase_type::body) drain(at);
    take(at);
    if (at.in_rest() == 0 && flush != flush_mode::no_flush) apply(flush);
    if (phase == phase_type::body) {
      drain(at);
      if (ended && head == next) start_trailer();
    }
    if (phase == phase_type::trailer) {
      emit_frame(at);
      if (framed == frame_end) phase = phase_type::done;
    }
    if (phase == phase_type::done) return;

    // Return as soon as the call is complete; otherwise wait for the oldest block, but only when
    // waiting is the one way on.
    const bool progress = at.in_used != 0 || at.out_used != 0;
    const bool in_flight = head != next;
    if (at.out_rest() == 0) {
      if (progress) return;
      no_progress();
    }
    if (flush == flush_mode::no_flush) {
      if (progress) return;
    } else if (at.in_rest() == 0 && !in_flight) {
      return;  // the flush is complete, and room is left to show it
    }
    if (!in_flight) {
      if (progress) return;
      no_progress();
    }
    await_head();
  }
}

parallel_compressor::parallel_compressor(unsigned threads)
    : thread_count(resolve_threads(threads)) {}

parallel_compressor::~parallel_compressor() = default;

void parallel_compressor::deflate_init(const deflate_options& options, std::size_t block_size) {
  check_options(options);
  if (block_size < min_block_size || block_size > max_block_size) {
    throw constraint_error("parallel_compressor: block_size " + std::to_string(block_size) +
                           " outside " + std::to_string(min_block_size) + ".." +
                           std::to_string(max_block_size));
  }
  if (!state) state = std::make_unique<engine>(thread_count);
  engine& e = *state;
  e.open = false;
  const int window_bits = std::max(options.window_bits, 9);
  const std::size_t window = std::size_t{1} << window_bits;
  deflate_options raw = options;
  raw.header = header_type::NONE;
  e.checksum = parallel::framing_checksums[static_cast<std::size_t>(options.header)];
  e.pool.open(options, block_size, window, compressed_bound(block_size, raw) + flush_margin,
              *e.checksum);
  e.block_size = block_size;
  e.gzip = options.header == header_type::GZIP;
  e.history.assign(window, 0);
  e.history_size = 0;
  e.next = e.head = 0;
  e.ended = false;
  e.check = e.checksum->initial;
  e.data_bytes = e.total_in = e.total_out = e.gzip_framing_out = 0;
  e.failure = return_code_enum::OK;
  e.failure_text.clear();
  e.framed = 0;
  if (e.gzip) {
    std::copy(simple_gzip_header.begin(), simple_gzip_header.end(), e.frame.begin());
    e.frame_end = simple_gzip_header.size();
  } else if (options.header != header_type::NONE) {
    const auto header_bytes =
        zlib_stream_header(window_bits, zlib_level_hint(options.level, options.strategy));
    std::copy(header_bytes.begin(), header_bytes.end(), e.frame.begin());
    e.frame_end = header_bytes.size();
  } else {
    e.frame_end = 0;
  }
  e.phase = e.frame_end != 0 ? phase_type::header : phase_type::body;
  e.open = true;
}

bool parallel_compressor::is_open() const { return state && state->open; }

transcode_result parallel_compressor::transcode(const_element_array in_data, element_array out_data,
                                                flush_mode flush) {
  if (!is_open()) throw constraint_error("parallel_compressor is closed");
  check_transcode_arguments(in_data, out_data, flush);
  engine& e = *state;
  if (e.failure != return_code_enum::OK) throw zlib_error(e.failure, e.failure_text);
  if (e.ended && !in_data.empty()) {
    e.fail(return_code_enum::STREAM_ERROR, "STREAM_ERROR: parallel_compressor: input after finish");
  }
  engine::cursor at{in_data, out_data};
  e.run(at, flush);
  e.total_in += at.in_used;
  e.total_out += at.out_used;
  return {in_data.first() - 1 + static_cast<element_index>(at.in_used),
          out_data.first() - 1 + static_cast<element_index>(at.out_used)};
}

element_count parallel_compressor::total_in() const {
  if (!is_open()) throw constraint_error("parallel_compressor is closed");
  return static_cast<element_count>(state->total_in);
}

element_count parallel_compressor::total_out() const {
  if (!is_open()) throw constraint_error("parallel_compressor is closed");
  return static_cast<element_count>(state->total_out - state->gzip_framing_out);
}

bool parallel_compressor::finished() const { return is_open() && state->phase == phase_type::done; }

void parallel_compressor::close() {
  if (!state) return;
  state->open = false;
  state->pool.release();
  state->history = {};
}

}  // namespace wrenfold::coders::zlib
