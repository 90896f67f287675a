// Decompression of arbitrary bytes. The coder may refuse them only with zlib_error; whenever it
// finishes, its output and the bytes it consumed must match plain zlib's inflate of the same
// bytes with the same window.
//
// Input: five parameter bytes, then the bytes to decompress.
//   byte 0: bits 0-1 header mode (NONE, AUTO, DEFAULT, GZIP), bits 2-4 window bits - 8,
//           bits 5-6 flush style, bit 7 input slices may be empty while input remains
//   byte 1: input slice limit   byte 2: output slice limit   bytes 3-4: seed of the draws
#include "fuzz-support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::fuzz;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input_reader reader(data, size, 5);
  const std::uint8_t shape = reader.byte();
  const auto header = static_cast<zl::header_type>(shape & 3u);
  const int window_bits = 8 + ((shape >> 2) & 7);
  drive_options plan = decoder_drive();
  plan.flush = static_cast<flush_policy>((shape >> 5) & 3u);
  plan.empty_slices = (shape & 0x80u) != 0;
  plan.in_chunk = slice_limit(reader.byte());
  plan.out_chunk = slice_limit(reader.byte());
  const std::uint32_t seed = reader.byte();
  plan.seed = seed << 8 | reader.byte();
  const auto compressed = reader.payload();

  zl::coder_type coder;
  drive_state run;
  try {
    coder.inflate_init(window_bits, header);
    drive(coder, compressed, plan, run);
  } catch (const zl::zlib_error& e) {
    // A refusal is fine for bytes that zlib refuses too, or for a call that handed over no
    // input (nothing to do then is zlib's BUF_ERROR). With input and room, refusing a stream
    // that zlib decodes whole is wrong, except for a distance beyond the window: one inflate
    // call with all the output room may reach back into everything it wrote, a stream read in
    // slices only into its window.
    const std::string_view message = e.what();
    if (run.last_call.in_size != 0 &&
        message.find("invalid distance too far back") == std::string_view::npos) {
      const auto oracle = zlib_oracle(compressed, zlib_window(header, window_bits));
      check(oracle.code != Z_STREAM_END, "zlib_error on a stream that zlib decodes");
    }
    return 0;
  } catch (const std::exception& e) {
    fail(e.what());
  }
  if (!coder.finished()) return 0;  // truncated, stalled or capped: nothing to compare

  const auto oracle = zlib_oracle(compressed, zlib_window(header, window_bits));
  check(oracle.code == Z_STREAM_END, "the coder finished a stream that zlib does not");
  check(run.output == oracle.output, "decoded bytes differ from zlib's");
  check(run.consumed == oracle.consumed, "consumed a different number of bytes than zlib");
  check(coder.total_in() == static_cast<wrenfold::coders::element_count>(run.consumed),
        "total_in differs from the bytes consumed");
  check(coder.total_out() == static_cast<wrenfold::coders::element_count>(run.output.size()),
        "total_out differs from the bytes written");
  coder.close();
  return 0;
}
