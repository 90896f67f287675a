/// @file
/// The binding to zlib: zlib's own stream record, the version text of the zlib actually loaded,
/// and the small operations that set and read the record and start zlib on it. This is the only
/// place that touches zlib's fields; everything here but the two inits is inline. Programs use
/// the coder (<wrenfold/coders-zlib.hpp>); the binding is public for the coder's inline path.
///
/// @code
///   thin::z_stream stream{};
///   if (thin::inflate_init(&stream, 15) != Z_OK) throw ...;
/// @endcode
#pragma once

#include <zlib.h>

// zlib.h maps the old name zlib_version onto a call; the binding's variable of that name must be
// a real variable for every includer.
#undef zlib_version

#include <cstdint>
#include <string>
#include <wrenfold/coders.hpp>

#define WRENFOLD_ZLIB_API __attribute__((visibility("default")))

namespace wrenfold::coders::zlib::thin {

using ::z_stream;
static_assert(sizeof(z_stream) == 112, "the binding assumes zlib's 64-bit stream record");

/// zlibVersion() of the zlib loaded with the program, captured once while the library loads and
/// handed to zlib's init entry points, so that they check against the zlib actually in use.
WRENFOLD_ZLIB_API extern const char* const zlib_version;

inline constexpr void* nul = nullptr;

/// zlib reads through next_in but declares it non-const unless ZLIB_CONST is set;
/// the cast lives here so that no caller needs one.
inline void set_in(z_stream& stream, const element* data, std::uint32_t length) noexcept {
  stream.next_in = const_cast<element*>(data);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  stream.avail_in = length;
}

inline void set_out(z_stream& stream, element* data, std::uint32_t length) noexcept {
  stream.next_out = data;
  stream.avail_out = length;
}

inline std::uint32_t avail_in(const z_stream& stream) noexcept { return stream.avail_in; }
inline std::uint32_t avail_out(const z_stream& stream) noexcept { return stream.avail_out; }
inline std::uint64_t total_in(const z_stream& stream) noexcept { return stream.total_in; }
inline std::uint64_t total_out(const z_stream& stream) noexcept { return stream.total_out; }

/// Note the order: opaque first, as zlib's own field order has it last.
inline void set_mem_func(z_stream& stream, void* opaque, alloc_func alloc,
                         free_func free) noexcept {
  stream.opaque = opaque;
  stream.zalloc = alloc;
  stream.zfree = free;
}

/// zlib's msg as text; zlib leaves it null when it has nothing to say.
inline std::string last_error_message(const z_stream& stream) {
  return stream.msg == nullptr ? std::string() : std::string(stream.msg);
}

/// deflateInit2_ / inflateInit2_ with the captured version and sizeof(z_stream); zlib's result is
/// returned as it is. A null record is a constraint_error, raised before zlib is called.
WRENFOLD_ZLIB_API int deflate_init(z_stream* stream, int level, int method, int window_bits,
                                   int memory_level, int strategy);
WRENFOLD_ZLIB_API int inflate_init(z_stream* stream, int window_bits);

}  // namespace wrenfold::coders::zlib::thin
