#pragma once
// NDR 2.0 as DCOM speaks it: little-endian, every primitive aligned to its size counted from the
// start of the stub. The writer and reader know primitives, pointers and the count fields of
// conformant and varying arrays; the codecs of the structures (orpc.h, oaut.h) put them in order,
// writing a structure's pointer ids in place and its pointees after it.
//
// The reader trusts nothing: every count is checked against what is left of the stub before
// anything is allocated for it, and against an overall element limit for the whole stub.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/dcom/guid.h"

namespace vexa32::dcom {

struct NdrLimits {
  // Elements of all arrays and strings of one stub together.
  std::size_t max_elements = std::size_t{1} << 22;
  // Nesting of self-containing types (a VARIANT array of VARIANTs holding arrays ...).
  std::size_t max_depth = 16;
};

// Offset and actual count of a varying array.
struct Variance {
  std::uint32_t offset = 0;
  std::uint32_t actual = 0;
};

class NdrWriter {
 public:
  NdrWriter() = default;

  void align(std::size_t n);
  void u8(std::uint8_t v);
  void u16(std::uint16_t v);
  void u32(std::uint32_t v);
  void u64(std::uint64_t v);
  void i8(std::int8_t v) { u8(static_cast<std::uint8_t>(v)); }
  void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
  void f32(float v);
  void f64(double v);
  void hresult(std::uint32_t v) { u32(v); }
  void guid(const Guid& g);
  // 100 ns ticks since 1601 as the two 32-bit halves of a FILETIME (aligned to 4, not 8).
  void filetime(std::uint64_t ticks);
  // Bytes as they are, no alignment.
  void bytes(std::string_view b) { out_.append(b); }

  // A unique pointer: 0 when absent, otherwise a fresh referent id. Returns what was written.
  std::uint32_t unique(bool present);
  // An embedded reference pointer: always a fresh, non-zero id.
  std::uint32_t ref() { return unique(true); }
  // A full pointer: the same key gets the same id; `first` tells whether its referent must follow.
  std::uint32_t full(const void* key, bool* first);

  // The max count of a conformant array (or of the array ending a conformant structure, written
  // before the structure).
  void conformance(std::uint32_t max_count) { u32(max_count); }
  void variance(std::uint32_t offset, std::uint32_t actual);
  // A [string] wchar_t*: max count, offset 0, actual count, UTF-16LE with the terminating NUL.
  // DcomError (E_INVALIDARG) for text that is not UTF-8 or holds a NUL.
  void wide_string(std::string_view utf8);
  // UTF-16LE code units of utf8, no counts, no terminator.
  void wide_chars(std::string_view utf8);

  std::size_t size() const { return out_.size(); }
  // Overwrites 4 bytes written before (a size known only after the pointees).
  void patch_u32(std::size_t at, std::uint32_t v);
  const std::string& data() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
  std::uint32_t next_id_ = 0x00020000;
  std::unordered_map<const void*, std::uint32_t> full_ids_;
};

class NdrReader {
 public:
  explicit NdrReader(std::string_view stub, NdrLimits limits = {}) : data_(stub), limits_(limits) {}
  // The reader keeps a view: a temporary string would be gone before the first read.
  NdrReader(std::string&&, NdrLimits = {}) = delete;

  // A little-endian number at p, for codecs that take a fixed block with bytes() and pick it apart.
  template <typename T>
  static T little(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
      T swapped = 0;
      for (std::size_t i = 0; i < sizeof v; ++i) swapped = static_cast<T>(swapped << 8 | ((v >> (8 * i)) & 0xFF));
      v = swapped;
    }
    return v;
  }

  // The primitives are inline: a VARIANT of an item state is a dozen of them.
  void align(std::size_t n) { take((n - pos_ % n) & (n - 1)); }  // n a power of two
  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
  std::uint16_t u16() { return aligned<std::uint16_t>(); }
  std::uint32_t u32() { return aligned<std::uint32_t>(); }
  std::uint64_t u64() { return aligned<std::uint64_t>(); }
  std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
  std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  float f32();
  double f64();
  std::uint32_t hresult() { return u32(); }
  Guid guid();
  // Two 32-bit halves, low first, aligned as a structure of them.
  std::uint64_t filetime() {
    const std::uint64_t low = aligned<std::uint32_t>();
    return low | std::uint64_t{aligned<std::uint32_t>()} << 32;
  }
  std::string_view bytes(std::size_t n) { return take(n); }

  // A unique pointer: false for null.
  bool unique() { return u32() != 0; }
  // An embedded reference pointer: NdrError when null.
  void ref(const char* what);
  struct FullPointer {
    std::uint32_t id = 0;
    bool first = false;  // the referent follows (an id seen before refers back)
  };
  FullPointer full();

  // The max count of a conformant array whose elements take at least element_size bytes each;
  // refused when they cannot fit in what is left, or exceed the element limit.
  std::uint32_t conformance(std::size_t element_size);
  // Offset and actual count of a varying array of at most max elements.
  Variance variance(std::uint32_t max, std::size_t element_size);
  // Refuses count elements of element_size bytes that cannot fit in what is left, and charges
  // them to the element limit. For every count a codec reads before allocating for it.
  void check_count(std::uint64_t count, std::size_t element_size, const char* what);
  // A [string] wchar_t*: conformant varying, terminated by a NUL that the result leaves out.
  std::string wide_string();
  // count UTF-16LE code units as UTF-8 (counted with check_count by the caller or here).
  std::string wide_chars(std::uint32_t count);

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  // NdrError unless everything was read.
  void expect_end() const;

  // Bounds the nesting of recursive types; hold one for each level entered.
  class DepthGuard {
   public:
    explicit DepthGuard(NdrReader& r) : r_(r) {
      if (r_.depth_ >= r_.limits_.max_depth) r_.too_deep();
      ++r_.depth_;
    }
    ~DepthGuard() { --r_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    NdrReader& r_;
  };

 private:
  // A number at its natural alignment: the padding and the number checked against the end at once.
  template <typename T>
  T aligned() {
    const std::size_t at = (pos_ + sizeof(T) - 1) & ~(sizeof(T) - 1);
    if (at + sizeof(T) > data_.size()) ends_early(at + sizeof(T) - pos_);
    pos_ = at + sizeof(T);
    return little<T>(data_.data() + at);
  }
  std::string_view take(std::size_t n) {
    if (n > remaining()) ends_early(n);
    const std::string_view out(data_.data() + pos_, n);
    pos_ += n;
    return out;
  }
  [[noreturn]] void ends_early(std::size_t n) const;
  [[noreturn]] void too_deep() const;

  std::string_view data_;
  std::size_t pos_ = 0;
  NdrLimits limits_;
  std::size_t elements_ = 0;
  std::size_t depth_ = 0;
  std::set<std::uint32_t> full_ids_;
};

// UTF-16 code units to UTF-8; NdrError for an unpaired surrogate.
std::string utf8_from_utf16(std::u16string_view units);
// UTF-8 to UTF-16 code units; DcomError (E_INVALIDARG) for bytes that are not UTF-8.
std::u16string utf16_from_utf8(std::string_view utf8);

}  // namespace vexa32::dcom
