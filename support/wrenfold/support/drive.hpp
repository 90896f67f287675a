// The one drive loop of tests, fuzzers and benchmarks: it feeds any coder as a client does, in
// slices of chosen or drawn sizes with a chosen flush policy, or in chunks each ended by a flush,
// and with chosen or drawn array numbering. After every call it checks that the positions lie
// inside the arrays and that the totals moved by exactly what was reported. A broken check
// throws drive_fault, which a test reports as a failure and a fuzzer as a crash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#include <wrenfold/coders.hpp>

namespace wrenfold::support {

using bytes = std::vector<coders::element>;
using coders::element;
using coders::element_index;
using coders::flush_mode;

// A check of the drive loop that did not hold.
class drive_fault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

inline void require(bool holds, const char* what) {
  if (!holds) throw drive_fault(what);
}

// xorshift32: slice sizes, flush modes and numbering follow from the seed, so a run replays.
class draws {
 public:
  explicit draws(std::uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {
    if (state_ == 0) state_ = 1;
  }
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  // Uniform enough in 0 .. n - 1; n > 0.
  std::size_t below(std::size_t n) { return next() % n; }

 private:
  std::uint32_t state_;
};

// How each call's flush mode is chosen.
enum class flush_policy : std::uint8_t {
  no_flush_then_finish,  // as a client streams: no_flush, finish with the last input
  any,                   // any mode on any call
  sync_then_finish,      // sync_flush on every call, finish with the last input
  mixed,                 // no_flush, sync_flush or full_flush; finish (or not) with the last input
};

inline flush_mode choose_flush(draws& g, flush_policy policy, bool last) {
  switch (policy) {
    case flush_policy::no_flush_then_finish:
      return last ? flush_mode::finish : flush_mode::no_flush;
    case flush_policy::any:
      return static_cast<flush_mode>(g.below(4));
    case flush_policy::sync_then_finish:
      return last ? flush_mode::finish : flush_mode::sync_flush;
    case flush_policy::mixed:
      break;
  }
  return last && g.below(2) == 0 ? flush_mode::finish : static_cast<flush_mode>(g.below(3));
}

// A first index for an array of the given length: 0, small ones either side of it, or one at
// either end of element_index's range, so that slips in the numbering show.
inline element_index draw_first(draws& g, std::size_t length) {
  constexpr element_index top = std::numeric_limits<element_index>::max();
  switch (g.below(5)) {
    case 0:
      return 0;
    case 1:
      return -3;
    case 2:
      return 1000;
    case 3:
      return std::numeric_limits<element_index>::min() + 1;
    default:
      return length == 0 ? top : top - static_cast<element_index>(length - 1);
  }
}

struct drive_options {
  std::size_t in_chunk = std::size_t{1} << 16;   // input handed over per call, at most
  std::size_t out_chunk = std::size_t{1} << 16;  // fresh output room per call, at most
  // Set: each call's sizes are drawn from it (input 1 .. in_chunk, or 0 .. in_chunk with
  // empty_slices; output 1 .. out_chunk), and so are the flush modes of the policies that draw.
  std::optional<std::uint32_t> seed{};
  bool empty_slices = false;
  flush_policy flush = flush_policy::no_flush_then_finish;
  // The input in chunks of in_chunk (or 1 .. in_chunk drawn) bytes, each ended by a flush the
  // policy draws (finish made no_flush) and handed over until it is consumed and, for a flush,
  // until a call leaves room, zlib's sign that the flush is complete; then finish, no input.
  bool flush_chunks = false;
  element_index first = 1000;   // first index of every array handed over
  bool draw_first = false;      // draw each array's first index instead
  bool counts_framing = false;  // total_out leaves out framing bytes the coder writes itself
  // A call with input and room must consume or write unless the coder has finished, as zlib's
  // inflate does.
  bool moves_with_input = false;
  // Set: each call's output goes here instead of into drive_state::output, so that a stream of
  // GiBs need not be held.
  std::function<void(std::span<const element>)> sink{};
  std::size_t output_cap = std::numeric_limits<std::size_t>::max();  // stop past this output
  std::size_t call_budget = std::numeric_limits<std::size_t>::max();
  int idle_limit = 8;  // calls in a row without progress before the drive gives up
};

// What one call handed over and got back.
struct call_record {
  std::size_t in_size = 0;
  std::size_t out_size = 0;
  std::size_t consumed = 0;
  std::size_t produced = 0;
};

// The state of a drive; after an exception it describes the call that threw.
struct drive_state {
  bytes output;  // empty with a sink
  std::size_t consumed = 0;
  std::size_t produced = 0;  // output bytes, with or without a sink
  std::size_t calls = 0;
  call_record last_call;
  bool stalled = false;  // idle_limit calls in a row without progress
  bool capped = false;   // stopped at output_cap or call_budget
};

// One checked transcode call on in with out_size bytes of fresh room at the very end of room,
// whose heap block ends there too, so that a write past the slice runs off the block under
// AddressSanitizer. The call's output is the first `produced` of those last out_size bytes.
inline call_record transcode_once(coders::coder_interface& coder, std::span<const element> in,
                                  bytes& room, std::size_t out_size, flush_mode flush,
                                  element_index in_first, element_index out_first,
                                  bool counts_framing) {
  if (room.size() < out_size) room = bytes(out_size);  // a fresh block of exactly that size
  const coders::const_element_array in_array(in.data(), in.size(), in_first);
  const coders::element_array out_array(room.data() + (room.size() - out_size), out_size,
                                        out_first);
  const auto in_before = coder.total_in();
  const auto out_before = coder.total_out();
  const auto [in_last, out_last] = coder.transcode(in_array, out_array, flush);
  require(in_last >= in_array.first() - 1 && in_last <= in_array.last(),
          "in_last outside the input array");
  require(out_last >= out_array.first() - 1 && out_last <= out_array.last(),
          "out_last outside the output array");
  call_record call{in.size(), out_size, 0, 0};
  call.consumed = static_cast<std::size_t>(in_last - (in_array.first() - 1));
  call.produced = static_cast<std::size_t>(out_last - (out_array.first() - 1));
  require(coder.total_in() - in_before == static_cast<coders::element_count>(call.consumed),
          "total_in moved by other than the bytes consumed");
  require(counts_framing ||
              coder.total_out() - out_before == static_cast<coders::element_count>(call.produced),
          "total_out moved by other than the bytes written");
  return call;
}

// Drives coder (already opened) over input until finished(), a stall or a cap. Exceptions from
// the coder propagate; state keeps what happened before them.
inline void drive(coders::coder_interface& coder, std::span<const element> input,
                  const drive_options& options, drive_state& state) {
  // Once a flush has filled the room, zlib wants more than six bytes per call until the flush
  // completes, or it may write flush markers forever.
  constexpr std::size_t flush_room = 7;
  draws g(options.seed.value_or(0));
  const bool drawn = options.seed.has_value();
  bytes room;
  int idle = 0;
  std::size_t chunk_end = 0;  // with flush_chunks: where the chunk being handed over ends
  bool chunk_open = false;    // and whether the chunk, or its flush, is still going on
  flush_mode chunk_flush = flush_mode::no_flush;
  for (; !coder.finished(); ++state.calls) {
    if (state.produced >= options.output_cap || state.calls >= options.call_budget) {
      state.capped = true;
      return;
    }
    const std::size_t rest = input.size() - state.consumed;
    std::size_t in_size = 0;
    std::size_t out_size = 0;
    flush_mode flush = flush_mode::finish;
    if (!options.flush_chunks) {
      const std::size_t wanted = !drawn                 ? options.in_chunk
                                 : options.empty_slices ? g.below(options.in_chunk + 1)
                                                        : 1 + g.below(options.in_chunk);
      in_size = std::min(wanted, rest);
      out_size = drawn ? 1 + g.below(options.out_chunk) : options.out_chunk;
      flush = choose_flush(g, options.flush, in_size == rest);
    } else {
      if (!chunk_open && rest != 0) {
        const std::size_t wanted = drawn ? 1 + g.below(options.in_chunk) : options.in_chunk;
        chunk_end = state.consumed + std::min(wanted, rest);
        chunk_flush = choose_flush(g, options.flush, false);
        if (chunk_flush == flush_mode::finish) chunk_flush = flush_mode::no_flush;
        chunk_open = true;
      }
      out_size = drawn ? 1 + g.below(options.out_chunk) : options.out_chunk;
      if (chunk_open) {
        in_size = chunk_end - state.consumed;
        if (in_size == 0) out_size = std::max(out_size, flush_room);
        flush = chunk_flush;
      }
    }
    const element_index in_first = options.draw_first ? draw_first(g, in_size) : options.first;
    const element_index out_first = options.draw_first ? draw_first(g, out_size) : options.first;
    state.last_call = {in_size, out_size, 0, 0};
    const auto call = transcode_once(coder, input.subspan(state.consumed, in_size), room, out_size,
                                     flush, in_first, out_first, options.counts_framing);
    state.last_call = call;
    const std::span<const element> written(room.data() + (room.size() - out_size), call.produced);
    if (options.sink) {
      options.sink(written);
    } else {
      state.output.insert(state.output.end(), written.begin(), written.end());
    }
    state.consumed += call.consumed;
    state.produced += call.produced;
    require(!options.moves_with_input || call.in_size == 0 || call.consumed != 0 ||
                call.produced != 0 || coder.finished(),
            "the coder made no progress with input and room");
    if (chunk_open && state.consumed == chunk_end &&
        (chunk_flush == flush_mode::no_flush || call.produced < out_size)) {
      chunk_open = false;
    }
    idle = call.consumed == 0 && call.produced == 0 ? idle + 1 : 0;
    if (idle >= options.idle_limit) {
      state.stalled = true;
      return;
    }
  }
}

// drive() to the end of the stream: every byte of input consumed, or a drive_fault.
inline bytes pump(coders::coder_interface& coder, std::span<const element> input,
                  const drive_options& options = {}) {
  drive_state state;
  drive(coder, input, options, state);
  require(!state.stalled, "the coder makes no progress");
  require(state.capped || state.consumed == input.size(), "input left unconsumed");
  return std::move(state.output);
}

}  // namespace wrenfold::support
