#include "platform/dcom/ndr.h"

#include <bit>
#include <cstring>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {

namespace {

// UTF-16 code units, unit(i) for i < count, to UTF-8; mostly ASCII, so that goes first.
template <typename Unit>
std::string utf8_of(std::size_t count, Unit unit) {
  // Names and texts are mostly ASCII: then one byte a unit, in a string of its final size, in one pass.
  std::string out(count, '\0');
  std::size_t ascii = 0;
  for (; ascii < count; ++ascii) {
    const std::uint32_t u = unit(ascii);
    if (u >= 0x80) break;
    out[ascii] = static_cast<char>(u);
  }
  if (ascii == count) return out;
  // Otherwise three bytes a unit at most (a pair of surrogates makes four bytes of two units),
  // after the ASCII already written.
  out.resize(count * 3);
  char* o = out.data() + ascii;
  auto put = [&](std::uint32_t byte) { *o++ = static_cast<char>(byte); };
  for (std::size_t i = ascii; i < count; ++i) {
    std::uint32_t cp = unit(i);
    if (cp < 0x80) {
      put(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      const std::uint32_t low = i + 1 < count ? unit(i + 1) : 0;
      if (low < 0xDC00 || low > 0xDFFF)
        throw NdrError("a string with an unpaired surrogate at character " + std::to_string(i));
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00u);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      throw NdrError("a string with an unpaired surrogate at character " + std::to_string(i));
    }
    if (cp < 0x800) {
      put(0xC0 | cp >> 6);
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | cp >> 12);
      put(0x80 | (cp >> 6 & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | cp >> 18);
      put(0x80 | (cp >> 12 & 0x3F));
      put(0x80 | (cp >> 6 & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

}  // namespace
namespace {

[[noreturn]] void bad_argument(const std::string& what) { throw DcomError(status::E_INVALIDARG, what); }

}  // namespace

// ---- writer ----

void NdrWriter::align(std::size_t n) { out_.append((n - out_.size() % n) % n, '\0'); }

void NdrWriter::u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }

void NdrWriter::u16(std::uint16_t v) {
  align(2);
  out_.push_back(static_cast<char>(v));
  out_.push_back(static_cast<char>(v >> 8));
}

void NdrWriter::u32(std::uint32_t v) {
  align(4);
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
}

void NdrWriter::u64(std::uint64_t v) {
  align(8);
  for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
}

void NdrWriter::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
void NdrWriter::f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }

void NdrWriter::guid(const Guid& g) {
  align(4);
  out_.append(reinterpret_cast<const char*>(g.bytes.data()), g.bytes.size());
}

void NdrWriter::filetime(std::uint64_t ticks) {
  u32(static_cast<std::uint32_t>(ticks));
  u32(static_cast<std::uint32_t>(ticks >> 32));
}

std::uint32_t NdrWriter::unique(bool present) {
  if (!present) {
    u32(0);
    return 0;
  }
  const std::uint32_t id = next_id_;
  next_id_ += 4;  // as Windows numbers them; any non-zero value would do
  u32(id);
  return id;
}

std::uint32_t NdrWriter::full(const void* key, bool* first) {
  *first = false;
  if (key == nullptr) {
    u32(0);
    return 0;
  }
  auto [it, inserted] = full_ids_.try_emplace(key, next_id_);
  if (inserted) next_id_ += 4;
  *first = inserted;
  u32(it->second);
  return it->second;
}

void NdrWriter::variance(std::uint32_t offset, std::uint32_t actual) {
  u32(offset);
  u32(actual);
}

void NdrWriter::wide_string(std::string_view utf8) {
  const std::u16string units = utf16_from_utf8(utf8);
  if (units.find(u'\0') != std::u16string::npos) bad_argument("a string to send holds a NUL");
  const auto count = static_cast<std::uint32_t>(units.size() + 1);
  conformance(count);
  variance(0, count);
  for (char16_t c : units) u16(c);
  u16(0);
}

void NdrWriter::wide_chars(std::string_view utf8) {
  for (char16_t c : utf16_from_utf8(utf8)) u16(c);
}

void NdrWriter::patch_u32(std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out_[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// ---- reader ----

void NdrReader::ends_early(std::size_t n) const {
  throw NdrError("the stub ends " + std::to_string(n - remaining()) + " bytes early at offset " + std::to_string(pos_));
}

float NdrReader::f32() { return std::bit_cast<float>(u32()); }
double NdrReader::f64() { return std::bit_cast<double>(u64()); }

Guid NdrReader::guid() {
  align(4);
  auto b = take(16);
  Guid g;
  std::memcpy(g.bytes.data(), b.data(), 16);
  return g;
}

void NdrReader::ref(const char* what) {
  if (u32() == 0) throw NdrError(std::string("a null reference pointer for ") + what);
}

NdrReader::FullPointer NdrReader::full() {
  FullPointer p;
  p.id = u32();
  if (p.id != 0) p.first = full_ids_.insert(p.id).second;
  return p;
}

void NdrReader::check_count(std::uint64_t count, std::size_t element_size, const char* what) {
  // Both sides stay far below 2^64: count < 2^32 and element sizes are small.
  if (count * element_size > remaining()) {
    throw NdrError(std::string(what) + " of " + std::to_string(count) + " elements at offset " + std::to_string(pos_) +
                   " does not fit in the " + std::to_string(remaining()) + " bytes left");
  }
  if (count > limits_.max_elements - elements_) {
    throw NdrError(std::string(what) + " of " + std::to_string(count) + " elements goes beyond the limit of " +
                   std::to_string(limits_.max_elements) + " elements");
  }
  elements_ += static_cast<std::size_t>(count);
}

std::uint32_t NdrReader::conformance(std::size_t element_size) {
  const std::uint32_t max = u32();
  check_count(max, element_size, "a conformant array");
  return max;
}

Variance NdrReader::variance(std::uint32_t max, std::size_t element_size) {
  Variance v;
  v.offset = u32();
  v.actual = u32();
  if (v.actual > max || v.offset > max - v.actual) {
    throw NdrError("a varying array's offset " + std::to_string(v.offset) + " and count " + std::to_string(v.actual) +
                   " exceed its maximum " + std::to_string(max));
  }
  if (v.actual * std::uint64_t{element_size} > remaining()) {
    throw NdrError("a varying array of " + std::to_string(v.actual) + " elements does not fit in the " +
                   std::to_string(remaining()) + " bytes left");
  }
  return v;
}

std::string NdrReader::wide_string() {
  const std::uint32_t max = conformance(2);
  const Variance v = variance(max, 2);
  if (v.offset != 0) throw NdrError("a string with offset " + std::to_string(v.offset));
  if (v.actual == 0) throw NdrError("a string without its terminating NUL");
  align(2);
  std::u16string units(v.actual, u'\0');
  for (auto& c : units) c = static_cast<char16_t>(u16());
  if (units.back() != u'\0') throw NdrError("a string without its terminating NUL");
  units.pop_back();
  if (units.find(u'\0') != std::u16string::npos) throw NdrError("a string with a NUL before its end");
  return utf8_from_utf16(units);
}

std::string NdrReader::wide_chars(std::uint32_t count) {
  align(2);
  if (count * std::uint64_t{2} > remaining()) throw NdrError("characters beyond the end of the stub");
  // Straight from the wire's little-endian units, with no copy of them in between.
  const std::string_view bytes = take(std::size_t{count} * 2);
  return utf8_of(count, [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                      static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
  });
}

void NdrReader::expect_end() const {
  if (remaining() != 0) throw NdrError(std::to_string(remaining()) + " bytes left over after the stub");
}

void NdrReader::too_deep() const {
  throw NdrError("values nested more than " + std::to_string(limits_.max_depth) + " levels deep");
}

// ---- text ----

std::string utf8_from_utf16(std::u16string_view units) {
  return utf8_of(units.size(), [&](std::size_t i) { return static_cast<std::uint32_t>(units[i]); });
}

std::u16string utf16_from_utf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<std::uint8_t>(utf8[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0, min = 0;
    if (b0 < 0x80) {
      n = 1, cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      n = 2, cp = b0 & 0x1Fu, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      n = 3, cp = b0 & 0x0Fu, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      n = 4, cp = b0 & 0x07u, min = 0x10000;
    } else {
      bad_argument("text that is not UTF-8 at byte " + std::to_string(i));
    }
    if (i + n > utf8.size()) bad_argument("text that is not UTF-8 at byte " + std::to_string(i));
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<std::uint8_t>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) bad_argument("text that is not UTF-8 at byte " + std::to_string(i));
      cp = cp << 6 | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      bad_argument("text that is not UTF-8 at byte " + std::to_string(i));
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

}  // namespace vexa32::dcom
