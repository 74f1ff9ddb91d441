#include "platform/automation/date.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <vector>

namespace vexa32 {
namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian), Howard Hinnant's algorithm.
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

const long long kEpochDays = days_from_civil(1899, 12, 30);

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

constexpr std::array<const char*, 12> kMonths = {"january", "february", "march",     "april",   "may",      "june",
                                                 "july",    "august",   "september", "october", "november", "december"};

// A small tokenizer: numbers, words and the separators that matter for dates.
struct Token {
  enum Kind { Number, Word, Slash, Dash, Colon, Comma, Dot, T } kind;
  std::string text;
  int value = 0;
};

std::optional<std::vector<Token>> tokenize(std::string_view s) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (std::isdigit(c)) {
      std::size_t j = i;
      long long v = 0;
      while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
        v = v * 10 + (s[j] - '0');
        if (v > 99999) return std::nullopt;
        ++j;
      }
      out.push_back({Token::Number, std::string(s.substr(i, j - i)), static_cast<int>(v)});
      i = j;
      continue;
    }
    if (std::isalpha(c)) {
      std::size_t j = i;
      std::string w;
      while (j < s.size() && std::isalpha(static_cast<unsigned char>(s[j]))) {
        w += static_cast<char>(std::tolower(static_cast<unsigned char>(s[j])));
        ++j;
      }
      out.push_back({w == "t" ? Token::T : Token::Word, w, 0});
      i = j;
      continue;
    }
    Token::Kind k;
    switch (c) {
      case '/': k = Token::Slash; break;
      case '-': k = Token::Dash; break;
      case ':': k = Token::Colon; break;
      case ',': k = Token::Comma; break;
      case '.': k = Token::Dot; break;
      default: return std::nullopt;
    }
    out.push_back({k, std::string(1, static_cast<char>(c)), 0});
    ++i;
  }
  return out;
}

int month_from_word(const std::string& w) {
  if (w.size() < 3) return 0;
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    std::string_view name = kMonths[i];
    if (name.substr(0, w.size()) == w) return static_cast<int>(i) + 1;
  }
  return 0;
}

int full_year(const Token& t) {
  // Two-digit years follow the runtime's window: 00-29 are 2000s, 30-99 are 1900s.
  if (t.text.size() <= 2) return t.value < 30 ? 2000 + t.value : 1900 + t.value;
  return t.value;
}

struct Parser {
  const std::vector<Token>& t;
  std::size_t i = 0;
  bool at(Token::Kind k) const { return i < t.size() && t[i].kind == k; }
  bool done() const { return i >= t.size(); }
};

// H[:MM[:SS]] [AM|PM], or H AM|PM.
bool parse_time(Parser& p, DateParts& parts) {
  if (!p.at(Token::Number)) return false;
  int h = p.t[p.i++].value, mi = 0, s = 0;
  bool had_colon = false;
  if (p.at(Token::Colon)) {
    had_colon = true;
    ++p.i;
    if (!p.at(Token::Number)) return false;
    mi = p.t[p.i++].value;
    if (p.at(Token::Colon)) {
      ++p.i;
      if (!p.at(Token::Number)) return false;
      s = p.t[p.i++].value;
    }
  }
  if (p.at(Token::Word) &&
      (p.t[p.i].text == "am" || p.t[p.i].text == "pm" || p.t[p.i].text == "a" || p.t[p.i].text == "p")) {
    bool pm = p.t[p.i].text[0] == 'p';
    ++p.i;
    if (h < 1 || h > 12) return false;
    h = h % 12 + (pm ? 12 : 0);
  } else if (!had_colon) {
    return false;
  }
  if (h > 23 || mi > 59 || s > 59) return false;
  parts.hour = h;
  parts.minute = mi;
  parts.second = s;
  return true;
}

bool parse_day_part(Parser& p, DateParts& parts) {
  const auto& t = p.t;
  std::size_t n = t.size() - p.i;
  // YYYY-MM-DD
  if (n >= 5 && t[p.i].kind == Token::Number && t[p.i].text.size() == 4 && t[p.i + 1].kind == Token::Dash &&
      t[p.i + 2].kind == Token::Number && t[p.i + 3].kind == Token::Dash && t[p.i + 4].kind == Token::Number) {
    parts.year = t[p.i].value;
    parts.month = t[p.i + 2].value;
    parts.day = t[p.i + 4].value;
    p.i += 5;
    return true;
  }
  // M/D/Y or M-D-Y
  if (n >= 5 && t[p.i].kind == Token::Number && (t[p.i + 1].kind == Token::Slash || t[p.i + 1].kind == Token::Dash) &&
      t[p.i + 2].kind == Token::Number && t[p.i + 3].kind == t[p.i + 1].kind && t[p.i + 4].kind == Token::Number) {
    parts.month = t[p.i].value;
    parts.day = t[p.i + 2].value;
    parts.year = full_year(t[p.i + 4]);
    p.i += 5;
    return true;
  }
  // Month D[,] Y
  if (n >= 3 && t[p.i].kind == Token::Word && month_from_word(t[p.i].text)) {
    parts.month = month_from_word(t[p.i].text);
    ++p.i;
    if (p.at(Token::Dot)) ++p.i;
    if (!p.at(Token::Number)) return false;
    parts.day = p.t[p.i++].value;
    if (p.at(Token::Comma)) ++p.i;
    if (!p.at(Token::Number)) return false;
    parts.year = full_year(p.t[p.i++]);
    return true;
  }
  // D Month Y
  if (n >= 3 && t[p.i].kind == Token::Number && t[p.i + 1].kind == Token::Word && month_from_word(t[p.i + 1].text)) {
    parts.day = t[p.i].value;
    parts.month = month_from_word(t[p.i + 1].text);
    p.i += 2;
    if (p.at(Token::Comma)) ++p.i;
    if (!p.at(Token::Number)) return false;
    parts.year = full_year(p.t[p.i++]);
    return true;
  }
  return false;
}

}  // namespace

std::optional<DATE> date_from_parts(const DateParts& p) {
  if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > days_in_month(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 ||
      p.second < 0 || p.second > 59) {
    return std::nullopt;
  }
  long long days = days_from_civil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) - kEpochDays;
  double time = (p.hour * 3600.0 + p.minute * 60.0 + p.second) / 86400.0;
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

std::optional<DateParts> date_to_parts(DATE date) {
  if (!(date >= kMinDate && date < kMaxDate + 1.0 / 86400.0)) return std::nullopt;
  double whole = std::trunc(date);
  double frac = std::fabs(date - whole);
  long long days = static_cast<long long>(whole);
  long long secs = std::llround(frac * 86400.0);
  if (secs >= 86400) {
    secs -= 86400;
    days += date < 0 ? -1 : 1;
  }
  DateParts parts;
  civil_from_days(days + kEpochDays, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(secs / 3600);
  parts.minute = static_cast<int>(secs / 60 % 60);
  parts.second = static_cast<int>(secs % 60);
  if (parts.year > 9999) return std::nullopt;
  return parts;
}

std::string format_date(DATE date) {
  auto parts = date_to_parts(date);
  if (!parts) return {};
  char buf[64];
  bool date_zero = parts->year == 1899 && parts->month == 12 && parts->day == 30;
  bool time_zero = parts->hour == 0 && parts->minute == 0 && parts->second == 0;
  int h12 = parts->hour % 12 == 0 ? 12 : parts->hour % 12;
  const char* ampm = parts->hour < 12 ? "AM" : "PM";
  if (date_zero) {
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, parts->minute, parts->second, ampm);
  } else if (time_zero) {
    std::snprintf(buf, sizeof buf, "%d/%d/%d", parts->month, parts->day, parts->year);
  } else {
    std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", parts->month, parts->day, parts->year, h12,
                  parts->minute, parts->second, ampm);
  }
  return buf;
}

std::optional<DATE> parse_date(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens || tokens->empty()) return std::nullopt;
  Parser p{*tokens};
  DateParts parts;
  bool have_day = parse_day_part(p, parts);
  if (!have_day) p.i = 0;
  if (!p.done()) {
    if (have_day && p.at(Token::T)) ++p.i;
    if (!parse_time(p, parts) || !p.done()) return std::nullopt;
  } else if (!have_day) {
    return std::nullopt;
  }
  return date_from_parts(parts);
}

DATE date_from_time_point(std::chrono::system_clock::time_point tp) {
  using namespace std::chrono;
  double secs = duration_cast<duration<double>>(tp.time_since_epoch()).count();
  // 25569 days lie between 30 Dec 1899 and 1 Jan 1970.
  return 25569.0 + secs / 86400.0;
}

std::chrono::system_clock::time_point time_point_from_date(DATE date) {
  using namespace std::chrono;
  double secs = (date - 25569.0) * 86400.0;
  return system_clock::time_point(duration_cast<system_clock::duration>(duration<double>(secs)));
}

}  // namespace vexa32
