#include "platform/dcom/guid.h"

#include <cstdio>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Guid> parse_guid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  std::array<std::uint8_t, 16> value{};  // in the text's order
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    const int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    value[n++] = static_cast<std::uint8_t>(high * 16 + low);
    ++i;
  }
  // Data1, Data2 and Data3 are little-endian on the wire; Data4 goes as written.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[static_cast<std::size_t>(i)] = value[static_cast<std::size_t>(kOrder[i])];
  return g;
}

Guid guid(std::string_view text) {
  auto g = parse_guid(text);
  if (!g) throw DcomError(status::E_FAIL, "not a GUID: " + std::string(text));
  return *g;
}

std::string format_guid(const Guid& g) {
  const auto& b = g.bytes;
  char out[40];
  std::snprintf(out, sizeof out, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

}  // namespace vexa32::dcom
