// This program interposes zlib's zlibVersion, deflateEnd and inflateEnd, as any program may, to
// show the coder an old zlib and to see which release function ends each stream.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support.hpp"

namespace {

const char* fake_version = nullptr;  // null: answer with the real zlib's version
int deflate_ends = 0;
int inflate_ends = 0;

template <class F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" const char* zlibVersion() {
  static const auto real_version = real<const char* (*)()>("zlibVersion");
  return fake_version != nullptr ? fake_version : real_version();
}

extern "C" int deflateEnd(z_streamp stream) {
  static const auto real_end = real<int (*)(z_streamp)>("deflateEnd");
  ++deflate_ends;
  return real_end(stream);
}

extern "C" int inflateEnd(z_streamp stream) {
  static const auto real_end = real<int (*)(z_streamp)>("inflateEnd");
  ++inflate_ends;
  return real_end(stream);
}

namespace {

namespace zl = wrenfold::coders::zlib;
using namespace wrenfold::testing;
using testing::ThrowsMessage;
using zl::coder_type;
using zl::header_type;
using zl::zlib_error;

class version_gate_test : public testing::Test {
 protected:
  void TearDown() override { fake_version = nullptr; }
};

TEST_F(version_gate_test, framings_zlib_1_1_4_could_not_read_need_a_newer_zlib) {
  struct row {
    const char* version;
    bool passes;
  };
  const row rows[] = {{"1.1.4", false}, {"1.1.3", false}, {"1.1", false},    {"1.1.10", false},
                      {"1.2.13", true}, {"1.10.0", true}, {"1.1.4.1", true}, {"1.1.5", true}};
  const auto input = sample(data_shape::text, 2000);
  for (const auto& r : rows) {
    for (const auto header : {header_type::NONE, header_type::AUTO, header_type::GZIP}) {
      SCOPED_TRACE(testing::Message() << r.version << ' ' << header);
      coder_type coder;
      fake_version = r.version;
      if (r.passes) {
        EXPECT_NO_THROW(coder.inflate_init(15, header));
      } else {
        EXPECT_THAT([&] { coder.inflate_init(15, header); },
                    ThrowsMessage<zlib_error>(std::string("Inflate header type ") +
                                              std::string(zl::image(header)) +
                                              " incompatible with ZLib version " + r.version));
        EXPECT_TRUE(coder.is_open());
      }
      // zlib framing needs no gate, and the init hands zlib the version captured at load.
      EXPECT_NO_THROW(coder.inflate_init(15, header_type::DEFAULT));
      fake_version = nullptr;
      EXPECT_EQ(pump(coder, zlib_deflate(input, 6, 15)), input);
    }
  }
}

TEST_F(version_gate_test, the_gate_reports_the_version_zlib_gives_now) {
  fake_version = "1.1.3";
  EXPECT_EQ(zl::version(), "1.1.3");
  coder_type coder;
  EXPECT_THAT([&] { coder.inflate_init(15, header_type::GZIP); },
              ThrowsMessage<zlib_error>("Inflate header type GZIP incompatible with ZLib version "
                                        "1.1.3"));
  try {
    coder.inflate_init(15, header_type::GZIP);
  } catch (const zlib_error& error) {
    EXPECT_EQ(error.code(), zl::return_code_enum::VERSION_ERROR);
  }
}

TEST(release_test, each_stream_is_ended_by_the_release_of_its_own_mode) {
  deflate_ends = inflate_ends = 0;
  {
    coder_type coder;
    coder.deflate_init();
    coder.inflate_init();  // ends the compression stream
    EXPECT_EQ(deflate_ends, 1);
    EXPECT_EQ(inflate_ends, 0);
    coder.deflate_init(6, 0, zl::deflated, 15, 8, header_type::GZIP);
    EXPECT_EQ(inflate_ends, 1);
    coder.close();
    coder.close();
    EXPECT_EQ(deflate_ends, 2);
    coder.inflate_init(15, header_type::AUTO);
  }  // the destructor closes
  EXPECT_EQ(inflate_ends, 2);
  EXPECT_EQ(deflate_ends, 2);
}

}  // namespace
