#pragma once
// Browse filters: "*" any run, "?" one character, "#" one digit, "[abc]", "[a-z]" and "[!abc]"
// one character of (or not of) a list. An empty pattern matches everything. Letters match
// without regard to case, as browse filters usually do.

#include <string_view>

namespace vexa32::opcda {

bool match_pattern(std::string_view text, std::string_view pattern);

}  // namespace vexa32::opcda
