#pragma once
// Readable names for table-driven tests: the case's label with every non-alphanumeric character
// turned into an underscore.

#include <cctype>
#include <string>

namespace vexa32::testing {

struct LabelName {
  template <class Info>
  std::string operator()(const Info& info) const {
    std::string out;
    if constexpr (requires { info.param.label; }) {
      for (char c : std::string(info.param.label)) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      out += "_";
    }
    return out + std::to_string(info.index);
  }
};

}  // namespace vexa32::testing
