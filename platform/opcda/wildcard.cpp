#include "platform/opcda/wildcard.h"

#include <cctype>

namespace vexa32::opcda {
namespace {

char fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Matches one character class starting at pattern[p] == '['; advances p past it. An unclosed
// bracket is taken as a literal '['.
bool match_class(char c, std::string_view pattern, std::size_t& p) {
  std::size_t close = pattern.find(']', p + 1);
  if (close == std::string_view::npos) {
    ++p;
    return c == '[';
  }
  std::string_view body = pattern.substr(p + 1, close - p - 1);
  p = close + 1;
  bool negate = !body.empty() && body[0] == '!';
  if (negate) body.remove_prefix(1);
  bool found = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (i + 2 < body.size() && body[i + 1] == '-') {
      if (fold(c) >= fold(body[i]) && fold(c) <= fold(body[i + 2])) found = true;
      i += 2;
    } else if (fold(c) == fold(body[i])) {
      found = true;
    }
  }
  return found != negate;
}

}  // namespace

bool match_pattern(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return true;
  std::size_t t = 0, p = 0;
  std::size_t star_p = std::string_view::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (p < pattern.size()) {
      std::size_t next = p;
      bool ok;
      char pc = pattern[p];
      if (pc == '?') {
        ok = true;
        next = p + 1;
      } else if (pc == '#') {
        ok = std::isdigit(static_cast<unsigned char>(text[t])) != 0;
        next = p + 1;
      } else if (pc == '[') {
        ok = match_class(text[t], pattern, next);
      } else {
        ok = fold(pc) == fold(text[t]);
        next = p + 1;
      }
      if (ok) {
        p = next;
        ++t;
        continue;
      }
    }
    if (star_p == std::string_view::npos) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace vexa32::opcda
