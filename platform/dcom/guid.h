#pragma once
// A GUID as DCOM carries it: 16 bytes in the wire order (Data1-3 little-endian, Data4 as is).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa32::dcom {

struct Guid {
  std::array<std::uint8_t, 16> bytes{};  // as on the wire

  friend bool operator==(const Guid&, const Guid&) = default;
  friend auto operator<=>(const Guid&, const Guid&) = default;
  bool is_null() const { return *this == Guid{}; }
};

// "00000131-0000-0000-C000-000000000046", with or without braces, any case; nullopt otherwise.
std::optional<Guid> parse_guid(std::string_view text);
// A GUID of the code's own tables: the text must be one (checked by the tables' tests).
Guid guid(std::string_view text);
// "{00000131-0000-0000-C000-000000000046}"
std::string format_guid(const Guid& g);

}  // namespace vexa32::dcom
