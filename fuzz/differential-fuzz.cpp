// Decompression by both engines: the same bytes are decoded by the zlib coder and by the ISA-L
// coder, each in drawn input and output slices down to 1 byte, and the two must agree: the same
// verdict (success, truncated, corrupt), the same output, and on success the same number of
// input bytes consumed, so that bytes after the end of the stream stay with the caller on both.
// Where the engines genuinely differ, judge() allows exactly that case and checks what still
// must hold: a distance beyond a window below 15 bits, an incomplete prefix code, a stream cut
// inside a block header that is already doomed, and the last bytes of a cut stream. The coders'
// own header and trailer readers judge at the same bytes, so they get no allowance.
//
// Every call hands over input until the last, which finishes with all of it; a call with no input
// is a finish call. A verdict is so always taken under finish with all the input handed over, and
// the zlib coder's BUF_ERROR on an empty no_flush call (nothing to do yet, while the ISA-L coder
// may still have output pending) never comes up.
//
// Input: ten parameter bytes, then the payload.
//   byte 0: bits 0-1 header mode (NONE, AUTO, DEFAULT, GZIP), bits 2-4 window bits - 8 of both
//           decoders, bits 5-6 source (0: the payload as it is; else a stream that plain zlib
//           makes of the payload), bit 7 sync_flush instead of no_flush before the last call
//   byte 1: input slice limit   byte 2: output slice limit   bytes 3-4: seed of the draws
//   byte 5: bits 0-3 zlib's level (value % 10), bits 4-6 zlib's window bits - 8, bit 7 the ISA-L
//           coder draws its own slices (another seed)
//   byte 6: bits 0-1 damage (none, cut, a byte changed, bytes appended), bits 2-4 zlib's strategy
//           (value % 5), bit 5 gzip instead of zlib framing under AUTO, bit 6 bytes appended too
//   bytes 7-8: where the damage is (modulo the stream's size)   byte 9: the change's xor mask
#include <array>
#include <optional>
#include <string>
#include <wrenfold/coders-isal.hpp>

#include "fuzz-support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
namespace il = wrenfold::coders::isal;
using namespace wrenfold::fuzz;
using wrenfold::coders::coder_interface;
using wrenfold::coders::element_count;
using zl::header_type;
using zl::return_code_enum;

enum class verdict : std::uint8_t { success, truncated, corrupt, unfinished };

struct outcome {
  verdict judged = verdict::unfinished;
  drive_state run;
  std::string message;  // the engine's words for a failure
  return_code_enum code = return_code_enum::OK;
  bool capped = false;  // stopped at a fuzz cap: only the output so far is compared
};

// One coder, opened by the caller, driven over data to its verdict.
outcome decode(coder_interface& coder, std::span<const element> data, const drive_options& plan) {
  outcome result;
  try {
    drive(coder, data, plan, result.run);
  } catch (const zl::zlib_error& e) {
    result.message = e.what();
    result.code = e.code();
    switch (e.code()) {
      case return_code_enum::BUF_ERROR:
        // Only a finish call with all the input can fail for lack of input under this plan.
        check(result.run.last_call.in_size == data.size() - result.run.consumed,
              "BUF_ERROR with input still to hand over");
        result.judged = verdict::truncated;
        break;
      case return_code_enum::DATA_ERROR:
      case return_code_enum::NEED_DICT:
        result.judged = verdict::corrupt;
        break;
      default:
        fail(std::string("a decoder failed with an unexpected code: ") + e.what());
    }
    return result;
  } catch (const std::exception& e) {
    fail(e.what());
  }
  result.capped = result.run.capped;
  check(result.capped || !result.run.stalled, "a decoder stalled without a verdict");
  if (coder.finished()) {
    result.judged = verdict::success;
    check(coder.total_in() == static_cast<element_count>(result.run.consumed),
          "total_in differs from the bytes consumed");
    check(coder.total_out() == static_cast<element_count>(result.run.output.size()),
          "total_out differs from the bytes written");
  }
  return result;
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// zlib's words for a dynamic block header whose prefix codes it refuses.
bool code_set_refused(const std::string& message) {
  return contains(message, "invalid code lengths set") ||
         contains(message, "invalid literal/lengths set") ||
         contains(message, "invalid distances set");
}

// A refusal of a zlib or gzip header by the ISA-L coder's own reader.
// a is b, or the start of it.
bool starts(const bytes& a, const bytes& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// A verdict for a failure message.
std::string describe(const outcome& o) {
  constexpr std::array<std::string_view, 4> names{"success", "truncated", "corrupt", "unfinished"};
  return std::string(names[static_cast<std::size_t>(o.judged)]) + " (" + o.message + ", " +
         std::to_string(o.run.consumed) + " in, " + std::to_string(o.run.output.size()) + " out)";
}

// Whether two readings of a stream agree: the same verdict, the same output (for a refusal, the
// start of the same decoding: a failing call's output is not handed back, and each engine finds
// the damage at its own point) and on success the same bytes consumed.
bool agree(const outcome& a, const outcome& b) {
  if (a.judged != b.judged) return false;
  switch (a.judged) {
    case verdict::success:
      return a.run.output == b.run.output && a.run.consumed == b.run.consumed;
    case verdict::truncated:
      return a.run.output == b.run.output;
    case verdict::corrupt:
    case verdict::unfinished:
      break;
  }
  return starts(a.run.output, b.run.output) || starts(b.run.output, a.run.output);
}

void require_agreement(const outcome& z, const outcome& i) {
  if (!agree(z, i)) fail("the engines disagree: zlib " + describe(z) + ", ISA-L " + describe(i));
}

// One coder's verdict on input followed by `more` bytes of `fill`, handed over whole.
template <class coder>
outcome decode_padded(std::span<const element> input, std::size_t more, element fill,
                      int window_bits, header_type header) {
  bytes padded(input.begin(), input.end());
  padded.resize(input.size() + more, fill);
  coder again;
  again.inflate_init(window_bits, header);
  drive_options whole = decoder_drive();
  whole.seed.reset();
  return decode(again, padded, whole);
}

// The stream the decoders get: the payload as it is, or plain zlib's stream of it, damaged or not.
bytes make_input(std::uint8_t source, header_type header, std::uint8_t making,
                 input_reader& reader) {
  const std::uint8_t damage = reader.byte();
  const std::size_t where = std::size_t{reader.byte()} << 8 | reader.byte();
  const std::uint8_t mask = reader.byte();
  const auto payload = reader.payload();
  if (source == 0) return bytes(payload.begin(), payload.end());

  // zlib takes an 8-bit window only for zlib framing (and writes 9 bits in the header then).
  int bits = 8 + ((making >> 4) & 7);
  const bool gzip =
      header == header_type::GZIP || (header == header_type::AUTO && (damage & 0x20u) != 0);
  if (bits == 8 && (gzip || header == header_type::NONE)) bits = 9;
  const int window = header == header_type::NONE ? -bits : gzip ? bits + 16 : bits;
  bytes stream = zlib_deflate(payload, (making & 15) % 10, window, ((damage >> 2) & 7) % 5);
  check(!stream.empty(), "zlib refused to make the stream");

  const std::size_t at = where % stream.size();
  switch (damage & 3u) {
    case 1:
      stream.resize(at);
      break;
    case 2:
      stream[at] = static_cast<element>(stream[at] ^ (mask == 0 ? 1u : mask));
      break;
    default:
      break;
  }
  if ((damage & 3u) == 3 || (damage & 0x40u) != 0) {
    // Bytes after the end: the start of the stream again (a second member in its framing), or
    // some of it.
    const std::size_t count = std::min(stream.size(), std::size_t{mask % 24u} + 1);
    stream.insert(stream.end(), stream.begin(),
                  stream.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return stream;
}

// What both decoders were given.
struct settings {
  std::span<const element> input;
  header_type header;
  int window_bits;
  drive_options plan;       // the zlib coder's slices
  drive_options isal_plan;  // the ISA-L coder's
};

// Requires the two readings of s.input to agree, but for the cases where the engines or the
// coders genuinely differ, each allowed here exactly.
void judge(const outcome& z, const outcome& i, const settings& s) {
  if (z.capped || i.capped) {
    // Cut short by the fuzz caps: what both wrote so far must agree.
    check(starts(z.run.output, i.run.output) || starts(i.run.output, z.run.output),
          "the engines wrote different bytes before a cap");
    return;
  }
  if (s.window_bits < 15 && (contains(z.message, "invalid distance too far back") ||
                             contains(i.message, "invalid symbol"))) {
    // A distance beyond the window. zlib refuses one only when the bytes it reaches are neither
    // in its window nor written by the same call, so its verdict depends on the output slices.
    // ISA-L refuses a dynamic block's distance symbols beyond the window ("invalid symbol") but
    // takes a fixed block's distances into all the output so far. With the largest window, which
    // holds every distance deflate can express, the engines must agree as anywhere else; at the
    // smaller one each reads the stream as it does with the largest, or refuses it for such a
    // distance.
    settings widest = s;
    widest.window_bits = 15;
    zl::coder_type zlib_widest;
    zlib_widest.inflate_init(15, s.header);
    const outcome zw = decode(zlib_widest, s.input, s.plan);
    il::coder_type isal_widest;
    isal_widest.inflate_init(15, s.header);
    const outcome iw = decode(isal_widest, s.input, s.isal_plan);
    judge(zw, iw, widest);
    const auto reads_as_widest = [](const outcome& o, const outcome& ow, std::string_view words) {
      const bool refused_far = o.judged == verdict::corrupt && contains(o.message, words);
      return agree(o, ow) || (refused_far && (starts(o.run.output, ow.run.output) ||
                                              starts(ow.run.output, o.run.output)));
    };
    const std::string verdicts = describe(z) + "; ISA-L " + describe(i) + "; at 15 bits " +
                                 describe(zw) + "; ISA-L " + describe(iw);
    check(reads_as_widest(z, zw, "invalid distance too far back"),
          "zlib differs at a small window by more than a distance: zlib " + verdicts);
    check(reads_as_widest(i, iw, "invalid symbol"),
          "ISA-L differs at a small window by more than a distance: zlib " + verdicts);
    return;
  }
  if (z.judged == verdict::corrupt && i.judged != verdict::corrupt && code_set_refused(z.message)) {
    // An incomplete prefix code in a dynamic block header (its code lengths leave codes unused):
    // zlib refuses it, except a distance code of a single 1-bit code; ISA-L builds it and decodes
    // on, refusing only a symbol that falls into the unused codes. (Over-subscribed codes both
    // refuse, so ISA-L going on means the code was incomplete.) Whatever ISA-L then makes of the
    // rest, it wrote what zlib wrote before the block.
    check(starts(z.run.output, i.run.output), "the engines wrote different bytes before a code");
    return;
  }
  if (z.judged == verdict::truncated && i.judged == verdict::corrupt &&
      (contains(i.message, "invalid block") || contains(i.message, "invalid symbol"))) {
    // A stream that ends inside a dynamic block header whose code lengths are already doomed, or
    // inside a code that can only be an invalid symbol (a fixed block's lengths 286 and 287 or
    // distances 30 and 31): zlib judges a header once all its lengths are in and a symbol once
    // all its bits are, and so calls the stream cut short; ISA-L judges what it has. Whatever
    // follows, zlib must refuse the stream too.
    for (const element fill : {element{0x00}, element{0xFF}}) {
      const outcome completed =
          decode_padded<zl::coder_type>(s.input, 1024, fill, s.window_bits, s.header);
      check(completed.judged == verdict::corrupt,
            "ISA-L refused a cut stream that zlib may still take: zlib " + describe(completed) +
                ", ISA-L " + describe(i));
    }
    check(starts(i.run.output, z.run.output),
          "the engines wrote different bytes before the refusal");
    return;
  }
  if (z.judged == verdict::truncated && i.judged == verdict::truncated &&
      z.run.output != i.run.output) {
    // At the end of a stream cut short ISA-L may keep back the last bytes it decoded (seen: one
    // or two literals), which zlib writes; more input would bring them. The verdict is the same,
    // and ISA-L's output is the start of zlib's, short by less than one longest match.
    check(starts(i.run.output, z.run.output) && z.run.output.size() - i.run.output.size() <= 258,
          "the engines wrote different bytes of a cut stream: zlib " + describe(z) + ", ISA-L " +
              describe(i));
    return;
  }
  require_agreement(z, i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input_reader reader(data, size, 10);
  const std::uint8_t shape = reader.byte();
  const auto header = static_cast<header_type>(shape & 3u);
  const int window_bits = 8 + ((shape >> 2) & 7);
  drive_options plan = decoder_drive();
  plan.flush =
      (shape & 0x80u) != 0 ? flush_policy::sync_then_finish : flush_policy::no_flush_then_finish;
  plan.in_chunk = slice_limit(reader.byte());
  plan.out_chunk = slice_limit(reader.byte());
  const std::uint32_t seed = reader.byte();
  plan.seed = seed << 8 | reader.byte();
  const std::uint8_t making = reader.byte();
  const bytes input =
      make_input(static_cast<std::uint8_t>((shape >> 5) & 3u), header, making, reader);
  drive_options isal_plan = plan;
  if ((making & 0x80u) != 0) isal_plan.seed = *plan.seed + 40503u;

  zl::coder_type zlib_coder;
  zlib_coder.inflate_init(window_bits, header);
  const outcome z = decode(zlib_coder, input, plan);
  il::coder_type isal_coder;
  isal_coder.inflate_init(window_bits, header);
  const outcome i = decode(isal_coder, input, isal_plan);

  judge(z, i, {input, header, window_bits, plan, isal_plan});
  return 0;
}
