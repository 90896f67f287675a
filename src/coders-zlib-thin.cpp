// The binding's load-time state and its two init wrappers.
#include <wrenfold/coders-zlib-thin.hpp>

namespace wrenfold::coders::zlib::thin {

// Dynamic initialisation runs while the library loads, before any client code can call in.
const char* const zlib_version = zlibVersion();  // NOLINT(cert-err58-cpp): zlib never throws

namespace {
constexpr int stream_size = static_cast<int>(sizeof(z_stream));

void require_record(const z_stream* stream) {
  if (stream == nullptr) throw constraint_error("zlib init: null stream record");
}
}  // namespace

int deflate_init(z_stream* stream, int level, int method, int window_bits, int memory_level,
                 int strategy) {
  require_record(stream);
  return deflateInit2_(stream, level, method, window_bits, memory_level, strategy, zlib_version,
                       stream_size);
}

int inflate_init(z_stream* stream, int window_bits) {
  require_record(stream);
  return inflateInit2_(stream, window_bits, zlib_version, stream_size);
}

}  // namespace wrenfold::coders::zlib::thin
