/// @file
/// std::streambuf adapters over any coder of the family: coder_ostreambuf compresses (or decodes)
/// what an std::ostream writes into another streambuf, coder_istreambuf gives an std::istream the
/// coder's output of what it reads from another streambuf. Header-only; builds on the contract.
///
/// @code
///   zlib::coder_type coder;
///   coder.deflate_init(zlib::default_compression, zlib::default_strategy, zlib::deflated,
///                      zlib::default_window_bits, zlib::default_memory_level,
///                      zlib::header_type::GZIP);
///   std::ofstream file("log.gz", std::ios::binary);
///   coder_ostreambuf gzip(coder, *file.rdbuf());
///   std::ostream out(&gzip);
///   out << "hello\n" << std::flush;   // a sync flush: all of it decodable now
///   gzip.finish();                    // the member's end; throws if anything failed
/// @endcode
///
/// The buffers are made at construction, and reading and writing allocate nothing more:
/// coder_ostreambuf keeps 2 x buffer_size bytes (its output side at least 64), coder_istreambuf
/// 3 x buffer_size (two for input). Neither adapter is shared between threads.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>
#include <wrenfold/coders.hpp>

namespace wrenfold::coders {

namespace streams_detail {

/// One transcode call takes at most this much of an array: the width of zlib's lengths.
inline constexpr std::size_t max_call_length = 0xFFFFFFFF;

inline std::vector<char> make_buffer(std::size_t size, const char* who) {
  if (size == 0) throw constraint_error(std::string(who) + ": buffer_size must be at least 1");
  return std::vector<char>(size);
}

inline std::size_t used(element_index last, element_index first) {
  return static_cast<std::size_t>(last - first + 1);
}

}  // namespace streams_detail

/// Writes go through the coder into sink. The coder must be open (for compression, usually);
/// the adapter drives it:
/// - writes reach the coder with no_flush, buffer_size bytes at a time;
/// - pubsync() (std::flush, std::endl) is a sync_flush: everything written so far becomes
///   decodable, the sink is synced, and the stream goes on (a gzip member stays open);
/// - finish() completes the stream and hands every byte to sink; the destructor does it if
///   finish() was not called, swallowing any failure.
/// A failure (the coder's, or a sink that takes fewer bytes than it is given) throws from the
/// call that meets it; an std::ostream turns that into badbit by its own rules. After a failure
/// the adapter writes nothing more.
class coder_ostreambuf : public std::streambuf {
 public:
  coder_ostreambuf(coder_interface& coder, std::streambuf& sink, std::size_t buffer_size = 1 << 16)
      : coder_(coder),
        sink_(sink),
        input_(streams_detail::make_buffer(buffer_size, "coder_ostreambuf")),
        output_(std::max(buffer_size, min_flush_room)) {
    setp(input_.data(), input_.data() + input_.size());
  }
  coder_ostreambuf(const coder_ostreambuf&) = delete;
  coder_ostreambuf& operator=(const coder_ostreambuf&) = delete;

  ~coder_ostreambuf() override {
    if (finished_ || failed_) return;
    try {
      finish();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor never throws
    }
  }

  /// Completes the stream: the buffered bytes with finish, until the coder is finished, every
  /// byte handed to sink, then the sink synced. Later calls do nothing.
  void finish() {
    if (finished_) return;
    if (failed_) throw std::runtime_error("coder_ostreambuf: an earlier write failed");
    guarded([&] {
      push(buffered(), flush_mode::finish);
      setp(nullptr, nullptr);
      finished_ = true;
      sync_sink();
    });
  }

 protected:
  int_type overflow(int_type ch) override {
    if (finished_ || failed_) return traits_type::eof();
    guarded([&] { push(buffered(), flush_mode::no_flush); });
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  /// A write larger than the room left goes to the coder straight from the caller's bytes.
  std::streamsize xsputn(const char_type* s, std::streamsize n) override {
    if (finished_ || failed_ || n <= 0) return 0;
    const auto count = static_cast<std::size_t>(n);
    const bool whole_buffers = count >= input_.size();
    if (!whole_buffers && count <= static_cast<std::size_t>(epptr() - pptr())) {
      std::memcpy(pptr(), s, count);
      pbump(static_cast<int>(count));
      return n;
    }
    guarded([&] {
      push(buffered(), flush_mode::no_flush);
      if (!whole_buffers) {
        std::memcpy(pptr(), s, count);
        pbump(static_cast<int>(count));
        return;
      }
      for (std::size_t at = 0; at < count; at += input_.size()) {
        const std::size_t piece = std::min(input_.size(), count - at);
        push(const_element_array(reinterpret_cast<const element*>(s + at),  // NOLINT: bytes
                                 piece),
             flush_mode::no_flush);
      }
    });
    return n;
  }

  int sync() override {
    if (finished_) return 0;
    if (failed_) return -1;
    guarded([&] {
      if (pptr() != pbase() || written_) push(buffered(), flush_mode::sync_flush);
      sync_sink();
    });
    return 0;
  }

 private:
  /// The put area's bytes, emptied: they are handed to the coder next.
  const_element_array buffered() {
    const const_element_array bytes(reinterpret_cast<const element*>(pbase()),  // NOLINT: bytes
                                    static_cast<std::size_t>(pptr() - pbase()));
    setp(input_.data(), input_.data() + input_.size());
    return bytes;
  }

  /// Hands in to the coder and its output to sink. With no_flush until the coder has taken all
  /// of in; with a flush until, all taken, a call leaves output room unused (the flush is
  /// complete); with finish until the coder is finished.
  void push(const_element_array in, flush_mode flush) {
    if (in.empty() && flush == flush_mode::no_flush) return;
    const element_array room(output_);
    for (;;) {
      const auto [in_last, out_last] = coder_.transcode(in, room, flush);
      const std::size_t taken = streams_detail::used(in_last, in.first());
      const std::size_t made = streams_detail::used(out_last, room.first());
      write_sink(made);
      in = in.slice(in_last + 1, in.last());
      const bool complete =
          flush == flush_mode::finish
              ? coder_.finished()
              : in.empty() && (flush == flush_mode::no_flush || made < room.length());
      if (complete) break;
      if (taken == 0 && made == 0) {
        throw std::runtime_error("coder_ostreambuf: the coder makes no progress");
      }
    }
    written_ = flush == flush_mode::no_flush;
  }

  void write_sink(std::size_t n) {
    if (n == 0) return;
    const std::streamsize took = sink_.sputn(output_.data(), static_cast<std::streamsize>(n));
    if (took != static_cast<std::streamsize>(n)) {
      throw std::runtime_error("coder_ostreambuf: the sink took " + std::to_string(took) + " of " +
                               std::to_string(n) + " bytes");
    }
  }

  void sync_sink() {
    if (sink_.pubsync() == -1)
      throw std::runtime_error("coder_ostreambuf: the sink failed to sync");
  }

  /// Runs work; a failure marks the adapter failed before it propagates.
  template <class F>
  void guarded(F work) {
    try {
      work();
    } catch (...) {
      failed_ = true;
      setp(nullptr, nullptr);
      throw;
    }
  }

  /// A flush completes once a call leaves output room unused; zlib needs more than 6 bytes of
  /// room for that, else it repeats its flush marker without end.
  static constexpr std::size_t min_flush_room = 64;

  coder_interface& coder_;
  std::streambuf& sink_;
  std::vector<char> input_;   ///< the put area: written bytes not yet handed to the coder
  std::vector<char> output_;  ///< the coder's output, on its way to sink
  bool written_ = false;      ///< input has reached the coder since the last flush
  bool finished_ = false;
  bool failed_ = false;
};

/// Reads come from source through the coder. The coder must be open (for decompression,
/// usually). The adapter reads source buffer_size bytes at a time, hands them over with no_flush,
/// and with finish once source is at its end; the data ends when the coder is finished. A source
/// that ends first is an error (the coder's, or a runtime_error here), never a clean end of file:
/// an std::istream sets badbit. Bytes read from source past the end of the coder's stream stay
/// available from unconsumed(), so that the caller can go on reading what follows.
/// With a zlib::member_decoder it reads every member of a gzip file.
class coder_istreambuf : public std::streambuf {
 public:
  coder_istreambuf(coder_interface& coder, std::streambuf& source,
                   std::size_t buffer_size = 1 << 16)
      : coder_(coder),
        source_(source),
        input_(2 * streams_detail::make_buffer(buffer_size, "coder_istreambuf").size()),
        output_(buffer_size) {}
  coder_istreambuf(const coder_istreambuf&) = delete;
  coder_istreambuf& operator=(const coder_istreambuf&) = delete;

  /// Bytes taken from source after the coder's end of stream (empty before the end).
  const_element_array unconsumed() const {
    return coder_.finished() ? pending_ : const_element_array();
  }

 protected:
  int_type underflow() override {
    if (gptr() != egptr()) return traits_type::to_int_type(*gptr());
    const std::size_t n = decode_into(element_array(output_));
    if (n == 0) return traits_type::eof();
    setg(output_.data(), output_.data(), output_.data() + n);
    return traits_type::to_int_type(*gptr());
  }

  /// A read of buffer_size bytes or more, once the get area is drained, is decoded straight into
  /// the caller's memory.
  std::streamsize xsgetn(char_type* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      const std::streamsize ready = egptr() - gptr();
      if (ready > 0) {
        const std::streamsize take = std::min(ready, n - done);
        std::memcpy(s + done, gptr(), static_cast<std::size_t>(take));
        gbump(static_cast<int>(take));
        done += take;
        continue;
      }
      const auto want = static_cast<std::size_t>(n - done);
      if (want < output_.size()) {
        if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
        continue;
      }
      const std::size_t got =
          decode_into(element_array(reinterpret_cast<element*>(s + done),  // NOLINT: bytes
                                    std::min(want, streams_detail::max_call_length)));
      if (got == 0) break;
      done += static_cast<std::streamsize>(got);
    }
    return done;
  }

 private:
  /// Transcodes into out until some output comes or the stream ends; returns the bytes made.
  std::size_t decode_into(element_array out) {
    while (!coder_.finished()) {
      refill();
      const auto flush = source_ended_ ? flush_mode::finish : flush_mode::no_flush;
      const auto [in_last, out_last] = coder_.transcode(pending_, out, flush);
      const std::size_t taken = streams_detail::used(in_last, pending_.first());
      const std::size_t made = streams_detail::used(out_last, out.first());
      pending_ = pending_.slice(in_last + 1, pending_.last());
      if (made != 0) return made;
      if (source_ended_ && taken == 0 && !coder_.finished()) {
        throw std::runtime_error(
            "coder_istreambuf: the source ended before the end of the coder's stream");
      }
    }
    return 0;
  }

  // Reads from source once less than half a buffer of input is pending, topping it up to a
  // whole buffer, so that a call runs out of output room before it runs out of input and a large
  // read decodes in one call. The input buffer holds two buffers' worth, so the top-up mostly
  // lands behind the pending bytes; they move to the front only when it would not fit. With
  // input still pending it takes only what source has ready, never waiting on a pipe while
  // there is work to do.
  void refill() {
    const std::size_t window = input_.size() / 2;
    const std::size_t left = pending_.length();
    if (source_ended_ || (left != 0 && left >= window / 2)) return;
    std::size_t want = window - left;
    std::size_t offset = 0;
    if (left != 0) {
      const std::streamsize ready = source_.in_avail();
      if (ready <= 0) return;
      want = std::min(want, static_cast<std::size_t>(ready));
      offset = static_cast<std::size_t>(reinterpret_cast<const char*>(pending_.data()) -  // NOLINT
                                        input_.data());
      if (offset + left + want > input_.size()) {
        std::memmove(input_.data(), pending_.data(), left);
        offset = 0;
      }
    }
    char* const start = input_.data() + offset;
    const std::streamsize n = source_.sgetn(start + left, static_cast<std::streamsize>(want));
    source_ended_ = left == 0 && n <= 0;
    pending_ = const_element_array(reinterpret_cast<const element*>(start),  // NOLINT: bytes
                                   left + (n > 0 ? static_cast<std::size_t>(n) : 0));
  }

  coder_interface& coder_;
  std::streambuf& source_;
  std::vector<char> input_;      ///< bytes read from source
  std::vector<char> output_;     ///< the get area: the coder's output not yet read
  const_element_array pending_;  ///< the part of input_ the coder has not consumed
  bool source_ended_ = false;
};

}  // namespace wrenfold::coders
