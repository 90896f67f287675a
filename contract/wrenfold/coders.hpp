/// @file
/// The coder contract of the wrenfold family: byte arrays that carry their own first index,
/// the flush modes, and the abstract streaming coder that every wrenfold coder implements.
/// Generic code takes a coder_interface& and serves every engine of the family.
///
/// @code
///   std::vector<element> room(64 * 1024);
///   const_element_array in = data;           // any byte buffer, without a cast
///   auto [in_last, out_last] = coder.transcode(in, room, flush_mode::finish);
///   // room[0 .. out_last] was written, in[0 .. in_last] consumed
/// @endcode
///
/// Element arrays are views: they neither own nor copy. A coder is used by one thread at a time.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>
#include <stdexcept>
#include <type_traits>

// Types that cross a shared-library boundary (thrown, or used polymorphically) stay visible
// even when a library builds with hidden visibility, so that clients can catch them by type.
#define WRENFOLD_MINIMAL_API __attribute__((visibility("default")))

namespace wrenfold::coders {

using element = std::uint8_t;
using element_index = std::int64_t;
using element_count = std::int64_t;

/// Misuse that a coder detects: a closed coder, both arrays empty, an array too long for the
/// operation, an index or window value that would overflow.
class WRENFOLD_MINIMAL_API constraint_error : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

/// Output that would grow past the limit its caller set (a one-shot decompression's max_output,
/// say); raised before more than the limit is held, so a decompression bomb costs no more.
class WRENFOLD_MINIMAL_API output_limit_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A type whose objects may view any memory as bytes.
template <class B>
inline constexpr bool is_byte_like_v =
    std::is_same_v<B, char> || std::is_same_v<B, signed char> || std::is_same_v<B, unsigned char> ||
    std::is_same_v<B, std::byte>;

/// A range whose elements are byte-like and whose constness T can carry: any such range for a
/// const T, a mutable one for a mutable T.
template <class R, class T>
concept byte_range_of = requires(R& range) {
  { std::ranges::data(range) } -> std::convertible_to<const void*>;
}
&&is_byte_like_v<std::remove_cv_t<std::ranges::range_value_t<R>>> &&
    (std::is_const_v<T> ||
     !std::is_const_v<std::remove_pointer_t<decltype(std::ranges::data(std::declval<R&>()))>>);

/// A contiguous run of bytes numbered from first() to last() == first() + length() - 1; an empty
/// array has last() == first() - 1. Every position a coder reports is in the numbering of the array
/// it refers to, and a slice keeps that numbering. Construction refuses a first index of
/// INT64_MIN and a last index past INT64_MAX, so first() - 1 .. last() are always representable;
/// it also refuses a non-empty array without an address. The array does not own its bytes.
template <class T>
class basic_element_array {
 public:
  basic_element_array() noexcept = default;

  basic_element_array(T* data, std::size_t length, element_index first = 0)
      : data_(data), length_(length), first_(first) {
    // 2^63 - first, computed modulo 2^64, is the largest length whose last index fits.
    constexpr std::uint64_t two_to_63 = std::uint64_t{1} << 63;
    if (data == nullptr && length != 0) {
      throw constraint_error("element array: no address for a non-empty array");
    }
    if (first == INT64_MIN ||
        std::uint64_t{length} > two_to_63 - static_cast<std::uint64_t>(first)) {
      throw constraint_error("element array: first index or length out of range");
    }
  }

  basic_element_array(std::span<T> bytes, element_index first = 0)
      : basic_element_array(bytes.data(), bytes.size(), first) {}

  /// Any contiguous range of byte-like values views as an array without a cast: std::vector,
  /// std::array, std::string, std::string_view, std::span of char, signed char, unsigned char or
  /// std::byte. A range of const bytes views only as a const array.
  template <std::ranges::contiguous_range R>
  requires std::ranges::sized_range<R> && byte_range_of<R, T> &&
      (!std::is_same_v<std::remove_cvref_t<R>, std::span<T>>)
          basic_element_array(R&& bytes, element_index first = 0)  // NOLINT: implicit by design
      : basic_element_array(
            reinterpret_cast<T*>(std::ranges::data(bytes)),  // NOLINT: byte types alias
            std::ranges::size(bytes), first) {}

  /// element_array converts to const_element_array, never the other way.
  operator basic_element_array<const T>() const noexcept requires(!std::is_const_v<T>) {
    basic_element_array<const T> view;
    view.data_ = data_;
    view.length_ = length_;
    view.first_ = first_;
    return view;
  }

  element_index first() const noexcept { return first_; }
  element_index last() const noexcept {
    return static_cast<element_index>(static_cast<std::uint64_t>(first_) + length_ - 1);
  }
  std::size_t length() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  T* data() const noexcept { return data_; }

  /// i in the array's own numbering; unchecked, like std::span.
  T& operator[](element_index i) const noexcept {
    return data_[static_cast<std::uint64_t>(i) - static_cast<std::uint64_t>(first_)];
  }

  /// The part from..to, numbered as in this array; from == to + 1 gives an empty slice.
  basic_element_array slice(element_index from, element_index to) const {
    const std::uint64_t skip =
        static_cast<std::uint64_t>(from) - static_cast<std::uint64_t>(first_);
    const std::uint64_t count =
        static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) + 1;  // 0 when empty
    if (from < first_ || skip > length_ || (to < from && to != from - 1) ||
        (to >= from && count > length_ - skip)) {
      throw constraint_error("element array: slice bounds outside the array");
    }
    basic_element_array part;
    part.data_ = data_ == nullptr ? nullptr : data_ + skip;
    part.length_ = to < from ? 0 : static_cast<std::size_t>(count);
    part.first_ = from;
    return part;
  }

 private:
  template <class>
  friend class basic_element_array;

  T* data_ = nullptr;
  std::size_t length_ = 0;
  element_index first_ = 0;
};

using element_array = basic_element_array<element>;
using const_element_array = basic_element_array<const element>;

/// Positions 0..3 are fixed: coders map them onto their library's own flush values by position.
enum class flush_mode { no_flush, sync_flush, full_flush, finish };

/// What one transcode call used: in_data[first .. in_last] was consumed and
/// out_data[first .. out_last] written; first - 1 means nothing.
struct transcode_result {
  element_index in_last;
  element_index out_last;
};

/// A streaming coder. How to drive it:
///   1. Open it (each coder has its own init operations).
///   2. Call transcode with the input not yet consumed and fresh output room, using no_flush while
///      more input will come (sync_flush or full_flush to make all output so far decodable).
///   3. Keep whatever out_data[first .. out_last] holds, hand back in_data[in_last + 1 .. last].
///   4. Once the input is exhausted, call transcode with finish until finished() is true.
///   5. close() it, or let it be destroyed.
/// Failures are exceptions; a call that throws delivers no positions.
class WRENFOLD_MINIMAL_API coder_interface {
 public:
  virtual ~coder_interface() = default;
  virtual bool is_open() const = 0;
  virtual transcode_result transcode(const_element_array in_data, element_array out_data,
                                     flush_mode flush) = 0;
  virtual element_count total_in() const = 0;
  virtual element_count total_out() const = 0;
  virtual bool finished() const = 0;
  virtual void close() = 0;
};

}  // namespace wrenfold::coders
