// Member decoding: gzip files of several members (made by the real gzip command and by cat), zero
// padding, trailing data, truncation at every byte, corrupt framing, header fields, and exact
// positions whatever the call sizes; decompress() must agree with the streaming decoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <wrenfold/support/framing.hpp>

#include "interop.hpp"

namespace {

namespace zl = wrenfold::coders::zlib;
namespace wc = wrenfold::coders;
using namespace wrenfold::testing;
using testing::HasSubstr;
using testing::StartsWith;
using zl::header_type;
using zl::member_decoder;

const drive_options chunkings[] = {
    {.in_chunk = 1, .out_chunk = 1, .first = -3},
    {.in_chunk = 7, .out_chunk = 3},
    {.in_chunk = 1 << 16, .out_chunk = 1 << 16, .first = 0},
    {.in_chunk = 300, .out_chunk = 500, .seed = 17},
};

bytes text_bytes(std::string_view text) { return bytes(text.begin(), text.end()); }

bytes joined(std::initializer_list<std::span<const wc::element>> parts) {
  bytes all;
  for (auto part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

bytes gzip_member(std::span<const wc::element> data) {
  return zl::compress(data, {.header = header_type::GZIP});
}

// Decodes input with a member_decoder under each chunking and with decompress(); every way must
// give expected and end with `members` members.
void expect_decodes(std::span<const wc::element> input, std::span<const wc::element> expected,
                    wc::element_count members, header_type mode = header_type::AUTO) {
  for (const auto& chunking : chunkings) {
    SCOPED_TRACE(testing::Message() << "chunks " << chunking.in_chunk << "/" << chunking.out_chunk);
    member_decoder decoder;
    decoder.inflate_init(zl::default_window_bits, mode);
    EXPECT_TRUE(same_bytes(pump(decoder, input, chunking), expected));
    EXPECT_EQ(decoder.members(), members);
    EXPECT_EQ(decoder.total_in(), static_cast<wc::element_count>(input.size()));
  }
  EXPECT_TRUE(same_bytes(zl::decompress(input, {.header = mode}), expected));
}

// What decoding input throws, streaming with 1-byte arrays and one shot; both must agree.
zl::zlib_error decode_error(std::span<const wc::element> input,
                            header_type mode = header_type::AUTO, int window_bits = 15) {
  std::string streamed;
  try {
    member_decoder decoder;
    decoder.inflate_init(window_bits, mode);
    pump(decoder, input, {.in_chunk = 1, .out_chunk = 1});
    ADD_FAILURE() << "the streaming decoder accepted the input";
  } catch (const zl::zlib_error& error) {
    streamed = error.what();
  }
  try {
    zl::decompress(input, {.header = mode, .window_bits = window_bits});
  } catch (const zl::zlib_error& error) {
    EXPECT_EQ(streamed, error.what()) << "streaming and one-shot verdicts differ";
    return error;
  }
  ADD_FAILURE() << "decompress accepted the input";
  return zl::zlib_error(zl::return_code_enum::OK, "");
}

class gzip_command_test : public testing::Test {
 protected:
  void SetUp() override {
    if (!available("gzip --version")) GTEST_SKIP() << "the gzip command is missing";
  }

  // gzip -c of a file named `name` holding data: a member with the name in its header.
  bytes gzip_file(const std::string& name, std::span<const wc::element> data) {
    write_file(dir / name, data);
    const auto made = run("cd " + shell_word(dir.path()) + " && gzip -c " + shell_word(name) +
                          " > " + shell_word(name + ".gz"));
    EXPECT_EQ(made.status, 0) << made.output;
    return read_file(dir / (name + ".gz"));
  }

  scratch_dir dir;
};

TEST_F(gzip_command_test, concatenated_members_decode_as_one_stream) {
  const bytes first = sample(data_shape::text, 30000, 1);
  const bytes second = text_bytes("the second member\n");
  const bytes third = sample(data_shape::random, 5000, 3);
  const bytes a = gzip_file("first.txt", first);
  const bytes b = gzip_file("second.txt", second);
  const bytes c = gzip_file("third.bin", third);
  const bytes empty_member = gzip_file("empty", {});
  const bytes zeros(37, 0);
  struct row {
    const char* name;
    bytes input;
    bytes expected;
    wc::element_count members;
  };
  const row rows[] = {
      {"one member", a, first, 1},
      {"cat a b c", joined({a, b, c}), joined({first, second, third}), 3},
      {"an empty member between", joined({a, empty_member, b}), joined({first, second}), 3},
      {"zero padding after the last", joined({a, b, zeros}), joined({first, second}), 2},
      {"zero padding between", joined({a, zeros, b}), joined({first, second}), 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    expect_decodes(r.input, r.expected, r.members);
    // What gzip -d makes of the same file (it warns about padding between members, and is
    // skipped there).
    if (std::string_view(r.name) == "zero padding between") continue;
    write_file(dir / "check.gz", r.input);
    const auto gzip =
        run("gzip -dc " + shell_word(dir / "check.gz") + " > " + shell_word(dir / "check"));
    EXPECT_EQ(gzip.status, 0) << gzip.output;
    EXPECT_TRUE(same_bytes(read_file(dir / "check"), r.expected));
  }

  member_decoder decoder;
  decoder.inflate_init(zl::default_window_bits, header_type::GZIP);
  const bytes both = joined({a, b});
  pump(decoder, both);
  EXPECT_EQ(decoder.header().name, "second.txt");
  EXPECT_EQ(decoder.header().os, 3);  // Unix
}

TEST_F(gzip_command_test, truncation_at_every_byte_is_reported) {
  const bytes a = gzip_file("a", text_bytes("first member\n"));
  const bytes b = gzip_file("b", text_bytes("second\n"));
  const bytes file = joined({a, b});
  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    SCOPED_TRACE(testing::Message() << "cut at " << cut);
    const std::span<const wc::element> prefix(file.data(), cut);
    if (cut == a.size()) {  // a whole first member: a complete file
      EXPECT_TRUE(same_bytes(zl::decompress(prefix), text_bytes("first member\n")));
      continue;
    }
    const auto error = decode_error(prefix);
    EXPECT_EQ(error.code(), zl::return_code_enum::BUF_ERROR);
    EXPECT_THAT(error.what(), StartsWith("BUF_ERROR: truncated input"));
  }
}

// Bytes after a stream, by framing: after gzip members zeros are padding, after zlib and raw
// streams nothing may follow. The position is the offset of the first trailing byte.
TEST(member_decoder_test, trailing_data_is_refused_where_it_starts) {
  const bytes data = text_bytes("some data that is compressed");
  const bytes gz = gzip_member(data);
  const bytes z = zl::compress(data);
  const bytes raw = zl::compress(data, {.header = header_type::NONE});
  struct row {
    const char* name;
    header_type mode;
    bytes input;
    std::size_t position;
  };
  const row rows[] = {
      {"gzip then a letter", header_type::GZIP, joined({gz, text_bytes("x")}), gz.size()},
      {"gzip, zeros, a letter", header_type::AUTO, joined({gz, bytes(5, 0), text_bytes("x")}),
       gz.size() + 5},
      {"gzip then 1F and not 8B", header_type::AUTO, joined({gz, bytes{0x1F, 0x00}}), gz.size()},
      {"zlib then a zero", header_type::AUTO, joined({z, bytes(1, 0)}), z.size()},
      {"zlib then a gzip member", header_type::DEFAULT, joined({z, gz}), z.size()},
      {"raw then anything", header_type::NONE, joined({raw, text_bytes("!")}), raw.size()},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto error = decode_error(r.input, r.mode);
    EXPECT_EQ(error.code(), zl::return_code_enum::DATA_ERROR);
    EXPECT_THAT(error.what(), HasSubstr("trailing data"));
    EXPECT_THAT(error.what(), HasSubstr("input byte " + std::to_string(r.position)));
  }
}

// Corrupt framing gives the same code and message as the zlib coder gives for the same stream,
// so a stream is judged alike by both.
TEST(member_decoder_test, corrupt_framing_is_judged_as_zlib_judges_it) {
  const bytes data = sample(data_shape::text, 2000);
  const bytes gz = gzip_member(data);
  const bytes z = zl::compress(data);
  auto changed = [](bytes stream, std::size_t at, wc::element value) {
    stream[at] = value;
    return stream;
  };
  struct row {
    const char* name;
    bytes input;
    const char* message;
  };
  const row rows[] = {
      {"gzip method", changed(gz, 2, 7), "DATA_ERROR: unknown compression method"},
      {"gzip reserved flag", changed(gz, 3, 0x20), "DATA_ERROR: unknown header flags set"},
      {"gzip CRC", changed(gz, gz.size() - 8, gz[gz.size() - 8] ^ 1),
       "DATA_ERROR: incorrect data check"},
      {"gzip length", changed(gz, gz.size() - 4, gz[gz.size() - 4] ^ 1),
       "DATA_ERROR: incorrect length check"},
      {"zlib header check", changed(z, 1, z[1] ^ 1), "DATA_ERROR: incorrect header check"},
      {"zlib Adler-32", changed(z, z.size() - 1, z[z.size() - 1] ^ 1),
       "DATA_ERROR: incorrect data check"},
      {"deflate data", changed(gz, 10, 0xFF), "DATA_ERROR: invalid block type"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto error = decode_error(r.input);
    EXPECT_EQ(error.code(), zl::return_code_enum::DATA_ERROR);
    EXPECT_STREQ(error.what(), r.message);
    zl::coder_type coder;
    coder.inflate_init(zl::default_window_bits, header_type::AUTO);
    EXPECT_THAT([&] { pump(coder, r.input, {.in_chunk = 1, .out_chunk = 1}); },
                testing::ThrowsMessage<zl::zlib_error>(testing::StrEq(r.message)));
  }

  // A preset dictionary cannot be supplied, and a window larger than allowed is refused.
  bytes dictionary_header = {0x78, 0xBB, 0, 0, 0, 1};  // FDICT set, header check holds
  EXPECT_EQ(decode_error(dictionary_header).code(), zl::return_code_enum::NEED_DICT);
  const auto small_window = decode_error(z, header_type::DEFAULT, 9);
  EXPECT_STREQ(small_window.what(), "DATA_ERROR: invalid window size");
}

// A header with every optional field, fed a byte at a time, and a name past the 64 KiB kept.
TEST(member_decoder_test, reads_every_header_field) {
  const bytes data = text_bytes("payload\n");
  const bytes deflated = zl::compress(data, {.header = header_type::NONE});
  auto member = [&](const std::string& name, const std::string& comment) {
    bytes head = {0x1F, 0x8B, 8,    0x1F /* FTEXT FHCRC FEXTRA FNAME FCOMMENT */,
                  0x78, 0x56, 0x34, 0x12,
                  0,    7,    4,    0,
                  'a',  'b',  'c',  'd'};
    head.insert(head.end(), name.begin(), name.end());
    head.push_back(0);
    head.insert(head.end(), comment.begin(), comment.end());
    head.push_back(0);
    const auto header_crc = zl::crc32(0, head);
    head.push_back(static_cast<wc::element>(header_crc));
    head.push_back(static_cast<wc::element>(header_crc >> 8));
    return joined({head, deflated, wrenfold::support::gzip_trailer(data)});
  };
  const bytes plain = member("notes.txt", "a comment");
  EXPECT_TRUE(same_bytes(inflate_whole(plain, 31), data)) << "zlib itself must accept the header";
  member_decoder decoder;
  decoder.inflate_init();
  EXPECT_TRUE(same_bytes(pump(decoder, plain, {.in_chunk = 1, .out_chunk = 1}), data));
  const zl::gzip_header& header = decoder.header();
  EXPECT_EQ(header.name, "notes.txt");
  EXPECT_EQ(header.comment, "a comment");
  EXPECT_EQ(header.extra, text_bytes("abcd"));
  EXPECT_EQ(header.mtime, 0x12345678u);
  EXPECT_EQ(header.os, 7);
  EXPECT_TRUE(header.text);

  const std::string long_name(zl::gzip_field_limit + 1000, 'n');
  decoder.inflate_init();
  EXPECT_TRUE(same_bytes(pump(decoder, member(long_name, "")), data));
  EXPECT_EQ(decoder.header().name.size(), zl::gzip_field_limit);

  bytes bad_crc = plain;
  bad_crc[16 + 10 + 10 - 2] ^= 1;  // the header CRC's first byte
  EXPECT_STREQ(decode_error(bad_crc).what(), "DATA_ERROR: header crc mismatch");
}

TEST(member_decoder_test, framing_modes) {
  const bytes data = sample(data_shape::text, 5000);
  for (const auto& [mode, framing] : {std::pair{header_type::AUTO, header_type::GZIP},
                                      std::pair{header_type::AUTO, header_type::DEFAULT},
                                      std::pair{header_type::GZIP, header_type::GZIP},
                                      std::pair{header_type::DEFAULT, header_type::DEFAULT},
                                      std::pair{header_type::NONE, header_type::NONE}}) {
    SCOPED_TRACE(testing::Message() << mode << " reading " << framing);
    expect_decodes(zl::compress(data, {.header = framing}), data, 1, mode);
  }
  const auto gzip_on_zlib = decode_error(zl::compress(data), header_type::GZIP);
  EXPECT_STREQ(gzip_on_zlib.what(), "DATA_ERROR: incorrect header check");
  EXPECT_THAT(decode_error({}).what(), StartsWith("BUF_ERROR: truncated input: it is empty"));
}

// The end of the stream counts only under finish: more members may follow in a later call.
TEST(member_decoder_test, finished_only_under_finish_with_all_input_consumed) {
  const bytes data = text_bytes("abc");
  const bytes gz = gzip_member(data);
  bytes room(64);
  member_decoder decoder;
  decoder.inflate_init();
  auto step = decoder.transcode(gz, room, wc::flush_mode::no_flush);
  EXPECT_EQ(step.in_last, static_cast<wc::element_index>(gz.size()) - 1);
  EXPECT_EQ(step.out_last, 2);
  EXPECT_FALSE(decoder.finished());
  step = decoder.transcode(gz, room, wc::flush_mode::finish);  // a second member
  EXPECT_TRUE(decoder.finished());
  EXPECT_EQ(decoder.members(), 2);
  EXPECT_EQ(decoder.total_out(), 6);

  EXPECT_THROW(decoder.inflate_init(16), wc::constraint_error);
  EXPECT_THROW(decoder.inflate_init(-15), wc::constraint_error);
  decoder.close();
  EXPECT_FALSE(decoder.is_open());
  EXPECT_THROW(decoder.transcode(gz, room, wc::flush_mode::finish), wc::constraint_error);
  EXPECT_THROW((void)decoder.total_in(), wc::constraint_error);
}

}  // namespace
