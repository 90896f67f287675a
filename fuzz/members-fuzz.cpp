// Member decoding. The input is built from drawn gzip members, each holding a part of the payload
// (written by zlib's gzip mode, by zlib::compress, or by hand with drawn FNAME, FCOMMENT, FEXTRA
// and FHCRC fields), with zero padding between them, then a drawn ending: nothing, padding,
// garbage, a cut or a changed byte. With DEFAULT or NONE it is one zlib or raw stream instead;
// or the payload itself is the input. member_decoder reads it in slices down to one byte and must
// agree with decompress() on the verdict, its code and message, and the output, and with plain
// zlib's gzip mode read member by member on success or failure and the output. Input that
// nothing damaged must decode to the payload, member for member, with the last header as
// written.
//
// Input: six parameter bytes, then the payload.
//   byte 0: bits 0-2 header mode (0-2 AUTO, 3-5 GZIP, 6 DEFAULT, 7 NONE), bits 3-5 window
//           bits - 8, bit 6 input slices may be empty while input remains, bit 7 the payload
//           itself is the input
//   byte 1: input slice limit   byte 2: output slice limit
//   byte 3: bits 0-1 flush style (no_flush_then_finish, sync_then_finish, mixed, and
//           no_flush_then_finish again), bits 2-3 members - 1, bits 4-6 the ending (0-2 none,
//           3 zero padding, 4 garbage, 5 padding then garbage, 6 cut short, 7 a byte changed)
//   bytes 4-5: seed of the draws
#include <optional>
#include <string>
#include <utility>
#include <wrenfold/coders-zlib-members.hpp>
#include <wrenfold/coders-zlib-oneshot.hpp>
#include <wrenfold/support/framing.hpp>

#include "fuzz-support.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::fuzz;
using wrenfold::coders::element_count;
using zl::header_type;
using zl::return_code_enum;

constexpr std::uint8_t fhcrc = 2, fextra = 4, fname = 8, fcomment = 16;

enum class ending : std::uint8_t { none, padding, garbage, padding_garbage, cut, changed };

struct settings {
  header_type header = header_type::AUTO;
  int window_bits = 15;
  bool payload_is_input = false;
  std::size_t members = 1;
  ending end = ending::none;
  drive_options plan = decoder_drive();
};

settings read_settings(input_reader& reader) {
  static constexpr header_type modes[8]{header_type::AUTO,    header_type::AUTO, header_type::AUTO,
                                        header_type::GZIP,    header_type::GZIP, header_type::GZIP,
                                        header_type::DEFAULT, header_type::NONE};
  // finish only once all input is handed over: at a member boundary, finish tells the decoder
  // that the stream ends there.
  static constexpr flush_policy policies[4]{flush_policy::no_flush_then_finish,
                                            flush_policy::sync_then_finish, flush_policy::mixed,
                                            flush_policy::no_flush_then_finish};
  static constexpr ending endings[8]{ending::none,    ending::none,    ending::none,
                                     ending::padding, ending::garbage, ending::padding_garbage,
                                     ending::cut,     ending::changed};
  settings s;
  const std::uint8_t b0 = reader.byte();
  s.header = modes[b0 & 7u];
  s.window_bits = 8 + ((b0 >> 3) & 7);
  s.plan.empty_slices = (b0 & 0x40u) != 0;
  s.payload_is_input = (b0 & 0x80u) != 0;
  s.plan.in_chunk = slice_limit(reader.byte());
  s.plan.out_chunk = slice_limit(reader.byte());
  const std::uint8_t b3 = reader.byte();
  s.plan.flush = policies[b3 & 3u];
  s.members = 1 + ((b3 >> 2) & 3u);
  s.end = endings[(b3 >> 4) & 7u];
  const std::uint32_t seed = reader.byte();
  s.plan.seed = seed << 8 | reader.byte();
  return s;
}

std::uint32_t crc_of(std::span<const element> data) {
  return static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// What a built input holds.
struct built_input {
  bytes data;
  std::size_t members = 0;
  std::string name;  // the last member's, as written
  std::string comment;
  bool intact = false;  // nothing damaged it: it decodes to the payload
};

// Up to 32 bytes of part from a drawn offset, zero bytes made '_', as a header's name or comment.
std::string header_text(std::span<const element> part, draws& g) {
  const std::size_t from = g.below(part.size() + 1);
  const std::size_t length = g.below(std::min<std::size_t>(part.size() - from, 32) + 1);
  std::string text;
  for (const element c : part.subspan(from, length)) {
    text.push_back(c == 0 ? '_' : static_cast<char>(c));
  }
  return text;
}

// A gzip member whose header is written here, with drawn optional fields taken from the part so
// that the fuzzer steers them, and the raw deflate data from zlib.
bytes hand_member(std::span<const element> part, draws& g, int bits, int level, int strategy,
                  built_input& into) {
  const auto flags = static_cast<std::uint8_t>(g.below(32));
  bytes member{0x1F, 0x8B, 8, flags};
  wrenfold::support::put_le(member, g.next(), 4);        // MTIME
  member.push_back(static_cast<element>(g.below(256)));  // XFL, which readers ignore
  member.push_back(static_cast<element>(g.below(256)));  // OS
  if ((flags & fextra) != 0) {
    const std::size_t from = g.below(part.size() + 1);
    const auto extra = part.subspan(from, g.below(part.size() - from + 1));
    wrenfold::support::put_le(member, static_cast<std::uint32_t>(extra.size()), 2);
    member.insert(member.end(), extra.begin(), extra.end());
  }
  into.name.clear();
  into.comment.clear();
  for (const auto& [flag, text] :
       {std::pair{fname, &into.name}, std::pair{fcomment, &into.comment}}) {
    if ((flags & flag) == 0) continue;
    *text = header_text(part, g);
    member.insert(member.end(), text->begin(), text->end());
    member.push_back(0);
  }
  if ((flags & fhcrc) != 0) wrenfold::support::put_le(member, crc_of(member) & 0xFFFFu, 2);
  const bytes body = zlib_deflate(part, level, -bits, strategy);
  check(!body.empty(), "zlib refused the deflate settings");
  member.insert(member.end(), body.begin(), body.end());
  const bytes trailer = wrenfold::support::gzip_trailer(part);
  member.insert(member.end(), trailer.begin(), trailer.end());
  return member;
}

// One member (gzip framing) or stream (zlib, raw) holding part. The compressor's window is at
// most the decoder's, or 9 bits, whose deflate never reaches back past 250 bytes.
bytes one_member(std::span<const element> part, header_type framing, draws& g, int window_bits,
                 built_input& into) {
  const int level = static_cast<int>(g.below(11)) - 1;
  const int strategy = static_cast<int>(g.below(5));
  const int bits =
      9 + static_cast<int>(g.below(static_cast<std::size_t>(std::max(window_bits, 9) - 8)));
  into.name.clear();
  into.comment.clear();
  const unsigned writer = static_cast<unsigned>(g.below(framing == header_type::GZIP ? 3 : 2));
  if (writer == 2) return hand_member(part, g, bits, level, strategy, into);
  if (writer == 1) {
    return zl::compress(
        part, {.level = level, .strategy = strategy, .window_bits = bits, .header = framing});
  }
  bytes stream = zlib_deflate(part, level, zlib_window(framing, bits, coding::compress), strategy);
  check(!stream.empty(), "zlib refused the deflate settings");
  return stream;
}

// Garbage: zero, 1F, 8B and other bytes, so that false starts of a member show up too.
void put_garbage(bytes& out, draws& g) {
  static constexpr element kinds[3]{0x00, 0x1F, 0x8B};
  for (std::size_t n = 1 + g.below(8); n != 0; --n) {
    const std::size_t kind = g.below(4);
    out.push_back(kind < 3 ? kinds[kind] : static_cast<element>(g.next()));
  }
}

built_input build(std::span<const element> payload, const settings& s, draws& g) {
  built_input in;
  // AUTO reads gzip members; DEFAULT and NONE read one stream of their framing.
  const header_type framing = s.header == header_type::AUTO ? header_type::GZIP : s.header;
  const std::size_t count = framing == header_type::GZIP ? s.members : 1;
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t rest = payload.size() - at;
    const std::size_t length = i + 1 == count ? rest : g.below(rest + 1);
    const bytes member = one_member(payload.subspan(at, length), framing, g, s.window_bits, in);
    in.data.insert(in.data.end(), member.begin(), member.end());
    at += length;
    if (i + 1 != count && g.below(4) == 0) in.data.resize(in.data.size() + 1 + g.below(8));
  }
  in.members = count;
  // zlib widens an 8-bit window to 9 bits for zlib framing and says so in the header, which a
  // decoder with an 8-bit window refuses.
  in.intact = framing != header_type::DEFAULT || s.window_bits > 8;
  switch (s.end) {
    case ending::none:
      break;
    case ending::padding:
      in.data.resize(in.data.size() + 1 + g.below(16));
      // After a zlib or raw stream, zero bytes are trailing data like any other.
      in.intact = in.intact && framing == header_type::GZIP;
      break;
    case ending::padding_garbage:
      in.data.resize(in.data.size() + 1 + g.below(16));
      [[fallthrough]];
    case ending::garbage:
      put_garbage(in.data, g);
      in.intact = false;
      break;
    case ending::cut: {
      const std::size_t size = in.data.size();
      in.data.resize(g.below(2) == 0 ? g.below(size)
                                     : size - 1 - g.below(std::min<std::size_t>(size, 16)));
      in.intact = false;
      break;
    }
    case ending::changed:
      in.data[g.below(in.data.size())] ^= static_cast<element>(1 + g.below(255));
      in.intact = false;
      break;
  }
  return in;
}

// How a reading of the input came out; unjudged when it stopped at the output cap, the call
// budget or a stall.
struct verdict {
  enum class kind_type : std::uint8_t { decoded, refused, unjudged };
  kind_type kind = kind_type::unjudged;
  return_code_enum code = return_code_enum::OK;
  std::string message;
  bytes output;
};
using kind_type = verdict::kind_type;

verdict refusal(return_code_enum code, std::string message) {
  verdict v;
  v.kind = kind_type::refused;
  v.code = code;
  v.message = std::move(message);
  return v;
}

verdict decompress_whole(std::span<const element> data, header_type header, int window_bits) {
  verdict v;
  try {
    v.output = zl::decompress(
        data, {.header = header, .window_bits = window_bits, .max_output = output_cap});
    v.kind = kind_type::decoded;
  } catch (const zl::zlib_error& e) {
    v = refusal(e.code(), e.what());
  } catch (const wrenfold::coders::output_limit_error&) {
  }
  return v;
}

// Plain zlib's reading: one inflate call per member with all the room left, the next member read
// from the bytes after the end of the last. zlib stops at a member's end and leaves the rest to
// its caller; this reading follows member_decoder's policy there: after a gzip member, zero
// bytes are padding and another member may follow them, as Python's gzip module reads such
// files; a member must start 1F 8B; any other byte, the 1F of a false start included, is
// trailing data where it stands. After a zlib or raw stream every byte is trailing data.
struct zlib_reading {
  verdict v;
  std::optional<std::size_t> trailing_at;
  std::size_t members = 0;
  zl::gzip_header header;  // the last gzip member's
};

zlib_reading read_with_zlib(std::span<const element> data, header_type header, int window_bits) {
  zlib_reading r;
  const bool gzip =
      header == header_type::GZIP ||
      (header == header_type::AUTO && data.size() >= 2 && data[0] == 0x1F && data[1] == 0x8B);
  int window = zlib_window(header, window_bits);
  std::size_t at = 0;
  bytes output;
  for (;;) {
    ++r.members;
    const auto member = zlib_oracle(data.subspan(at), window, output_cap - output.size(), gzip);
    at += member.consumed;
    output.insert(output.end(), member.output.begin(), member.output.end());
    const bool full = output.size() == output_cap;
    if (member.code == Z_NEED_DICT) {
      r.v = refusal(return_code_enum::NEED_DICT, member.message);
      break;
    }
    if (member.code == Z_DATA_ERROR) {
      r.v = refusal(return_code_enum::DATA_ERROR, member.message);
      break;
    }
    if (member.code == Z_BUF_ERROR) {
      if (full) break;  // unjudged
      r.v = refusal(return_code_enum::BUF_ERROR, member.message);
      // zlib asks for a dictionary once the dictionary id after the header has arrived; the
      // decoder refuses at the header's flag. Input that ends inside the id needs a dictionary.
      if (!gzip && header != header_type::NONE && data.size() >= 2 && data.size() < 6) {
        bytes longer(data.begin(), data.end());
        longer.resize(6);
        if (zlib_oracle(longer, window).code == Z_NEED_DICT) {
          r.v.code = return_code_enum::NEED_DICT;
        }
      }
      break;
    }
    if (member.code != Z_STREAM_END) fail("zlib's inflate failed otherwise than on the data");
    if (gzip) {
      check(member.header.has_value(), "zlib ended a gzip member without its header");
      r.header = *member.header;
      while (at < data.size() && data[at] == 0) ++at;
    }
    if (at == data.size()) {
      r.v.kind = kind_type::decoded;
      break;
    }
    if (!gzip || data[at] != 0x1F || (at + 1 < data.size() && data[at + 1] != 0x8B)) {
      r.v = refusal(return_code_enum::DATA_ERROR, "trailing data");
      r.trailing_at = at;
      break;
    }
    window = zlib_window(header_type::GZIP, window_bits);
  }
  if (r.v.kind == kind_type::decoded) r.v.output = std::move(output);
  return r;
}

bool far_back(const verdict& v) {
  return v.kind == kind_type::refused &&
         v.message.find("invalid distance too far back") != std::string::npos;
}

// zlib judges the fixed-size parts of the framing (a gzip header's first ten bytes, a trailer)
// field by field as they arrive, the decoder once the part is whole: input that stops inside
// such a part after a bad field is corrupt to zlib and short to the decoder. Completed, the part
// must show the decoder zlib's fault.
bool fault_in_cut_part(std::span<const element> data, const settings& s, const verdict& decoder,
                       const verdict& plain) {
  static constexpr std::string_view part_faults[]{
      "incorrect header check", "unknown compression method", "unknown header flags set",
      "incorrect data check", "incorrect length check"};
  if (decoder.code != return_code_enum::BUF_ERROR || plain.code != return_code_enum::DATA_ERROR ||
      std::find(std::begin(part_faults), std::end(part_faults), plain.message) ==
          std::end(part_faults)) {
    return false;
  }
  bytes completed(data.begin(), data.end());
  completed.resize(data.size() + 10);
  const verdict again = decompress_whole(completed, s.header, s.window_bits);
  return again.kind == kind_type::refused && again.code == return_code_enum::DATA_ERROR &&
         std::string_view(again.message).ends_with(plain.message);
}

void expect_agrees_with_zlib(std::span<const element> data, const settings& s,
                             const verdict& decoder, const zlib_reading& plain) {
  if (decoder.kind == kind_type::unjudged || plain.v.kind == kind_type::unjudged) return;
  check(decoder.kind == plain.v.kind, "decoded where zlib refuses, or refused where zlib decodes");
  if (decoder.kind == kind_type::decoded) {
    check(decoder.output == plain.v.output, "decoded bytes differ from zlib's");
    return;
  }
  if (plain.trailing_at) {
    check(decoder.code == return_code_enum::DATA_ERROR &&
              std::string_view(decoder.message)
                  .ends_with("starting at input byte " + std::to_string(*plain.trailing_at)),
          "trailing data not refused where it starts");
    return;
  }
  check(decoder.code == plain.v.code || fault_in_cut_part(data, s, decoder, plain.v),
        "refused with another code than zlib");
}

void expect_header(const zl::gzip_header& got, const zl::gzip_header& want) {
  check(got.name == want.name.substr(0, zl::gzip_field_limit), "header name differs from zlib's");
  check(got.comment == want.comment.substr(0, zl::gzip_field_limit),
        "header comment differs from zlib's");
  check(got.extra == want.extra, "header extra field differs from zlib's");
  check(got.mtime == want.mtime && got.os == want.os && got.text == want.text,
        "header mtime, OS or text flag differs from zlib's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input_reader reader(data, size, 6);
  const settings s = read_settings(reader);
  const auto payload = reader.payload();
  try {
    draws g(*s.plan.seed ^ 0xA5A5A5A5u);
    const built_input built = s.payload_is_input ? built_input{} : build(payload, s, g);
    const std::span<const element> input = s.payload_is_input ? payload : built.data;

    zl::member_decoder decoder;
    decoder.inflate_init(s.window_bits, s.header);
    drive_state run;
    verdict streamed;
    try {
      drive(decoder, input, s.plan, run);
      if (decoder.finished()) streamed.kind = kind_type::decoded;
    } catch (const zl::zlib_error& e) {
      streamed = refusal(e.code(), e.what());
    }
    if (streamed.kind == kind_type::decoded) {
      check(run.consumed == input.size(), "finished with input left over");
      check(decoder.total_in() == static_cast<element_count>(input.size()),
            "total_in differs from the input's size");
      check(decoder.total_out() == static_cast<element_count>(run.output.size()),
            "total_out differs from the bytes written");
      streamed.output = std::move(run.output);
    }
    const verdict whole = decompress_whole(input, s.header, s.window_bits);
    const zlib_reading plain = read_with_zlib(input, s.header, s.window_bits);

    if (built.intact) {
      const bool expected =
          whole.kind == kind_type::decoded && std::ranges::equal(whole.output, payload);
      check(whole.kind == kind_type::unjudged || expected,
            "decompress does not give back the members as written");
      check(streamed.kind != kind_type::refused, "the decoder refused the members as written");
    }

    // Slices stop a distance from reaching back past the window sooner than one call with all
    // the room: beyond that, only the bytes decoded may be compared.
    if (far_back(streamed) || far_back(whole) || far_back(plain.v)) {
      if (streamed.kind == kind_type::decoded && whole.kind == kind_type::decoded) {
        check(streamed.output == whole.output, "streamed and one-shot outputs differ");
      }
      return 0;
    }

    if (streamed.kind != kind_type::unjudged && whole.kind != kind_type::unjudged) {
      check(streamed.kind == whole.kind, "streamed and one-shot verdicts differ");
      check(streamed.code == whole.code && streamed.message == whole.message,
            "streamed and one-shot refusals differ");
      check(streamed.output == whole.output, "streamed and one-shot outputs differ");
    }
    expect_agrees_with_zlib(input, s, whole.kind != kind_type::unjudged ? whole : streamed, plain);

    if (streamed.kind == kind_type::decoded) {
      if (plain.v.kind == kind_type::decoded) {
        check(decoder.members() == static_cast<element_count>(plain.members),
              "members() differs from the members zlib read");
        expect_header(decoder.header(), plain.header);
      }
      if (built.intact) {
        check(std::ranges::equal(streamed.output, payload), "the members decode to other bytes");
        check(decoder.members() == static_cast<element_count>(built.members),
              "members() differs from the members written");
        check(decoder.header().name == built.name && decoder.header().comment == built.comment,
              "the last header's name or comment differs from what was written");
      }
    }
  } catch (const std::exception& e) {
    fail(std::string("member decoding threw: ") + e.what());
  }
  return 0;
}
