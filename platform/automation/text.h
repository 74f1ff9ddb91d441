#pragma once
// Names that match without regard to case (members, ProgIDs, property keys) are compared in
// their ASCII lower-case form.

#include <cctype>
#include <string>
#include <string_view>

namespace vexa32 {

inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace vexa32
