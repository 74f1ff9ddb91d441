#include "platform/automation/convert.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/automation/date.h"

namespace vexa32 {
namespace {

bool is_signed_int(VarType vt) { return vt == VT_I1 || vt == VT_I2 || vt == VT_I4 || vt == VT_I8; }
bool is_unsigned_int(VarType vt) { return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8; }
bool is_integer(VarType vt) { return is_signed_int(vt) || is_unsigned_int(vt); }

struct Range {
  long double lo, hi;
};

Range range_of(VarType vt) {
  switch (vt) {
    case VT_I1: return {-128.0L, 127.0L};
    case VT_I2: return {-32768.0L, 32767.0L};
    case VT_I4: return {-2147483648.0L, 2147483647.0L};
    case VT_I8: return {-9223372036854775808.0L, 9223372036854775807.0L};
    case VT_UI1: return {0.0L, 255.0L};
    case VT_UI2: return {0.0L, 65535.0L};
    case VT_UI4: return {0.0L, 4294967295.0L};
    default: return {0.0L, 18446744073709551615.0L};
  }
}

Variant make_integer(VarType vt, long double whole) {
  Range r = range_of(vt);
  if (!(whole >= r.lo && whole <= r.hi)) throw overflow_error();
  switch (vt) {
    case VT_I1: return Variant(static_cast<std::int8_t>(whole));
    case VT_I2: return Variant(static_cast<std::int16_t>(whole));
    case VT_I4: return Variant(static_cast<std::int32_t>(whole));
    case VT_I8: return Variant(static_cast<long long>(whole));
    case VT_UI1: return Variant(static_cast<std::uint8_t>(whole));
    case VT_UI2: return Variant(static_cast<std::uint16_t>(whole));
    case VT_UI4: return Variant(static_cast<std::uint32_t>(whole));
    default: return Variant(static_cast<unsigned long long>(whole));
  }
}

// A value on its way between types: every scalar source reduces to one of these.
struct Number {
  long double value = 0;
  bool integral = true;  // exact integer source: no rounding
};

[[noreturn]] void throw_for_source(const Variant& v) {
  if (v.is_null()) throw invalid_use_of_null_error();
  throw type_mismatch_error();
}

Number number_of(const Variant& v) {
  VarType vt = v.vt();
  if (vt == VT_EMPTY) return {0, true};
  if (is_signed_int(vt) || vt == VT_BOOL) return {static_cast<long double>(v.signed_payload()), true};
  if (is_unsigned_int(vt)) return {static_cast<long double>(v.unsigned_payload()), true};
  if (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE) return {v.double_payload(), false};
  if (vt == VT_BSTR) {
    auto n = parse_number(v.bstr());
    if (!n) throw type_mismatch_error();
    return {*n, false};
  }
  throw_for_source(v);
}

Variant to_integer(const Variant& v, VarType to) {
  Number n = number_of(v);
  if (v.vt() == VT_BOOL && is_unsigned_int(to)) {
    // A true boolean is all bits set in the unsigned type (255, 65535, ...).
    return n.value == 0 ? make_integer(to, 0) : make_integer(to, range_of(to).hi);
  }
  if (!n.integral) {
    if (std::isnan(n.value) || std::isinf(n.value)) throw overflow_error();
    n.value = std::nearbyint(n.value);  // default rounding mode: half to even
  }
  return make_integer(to, n.value);
}

Variant to_real(const Variant& v, VarType to) {
  Number n = number_of(v);
  if (to == VT_R4) {
    if (std::isfinite(n.value) && std::fabs(n.value) > FLT_MAX) throw overflow_error();
    return Variant(static_cast<float>(n.value));
  }
  if (std::isfinite(n.value) && std::fabs(n.value) > DBL_MAX) throw overflow_error();
  return Variant(static_cast<double>(n.value));
}

Variant to_date_variant(const Variant& v) {
  if (v.vt() == VT_BSTR) {
    auto d = parse_date(v.bstr());
    if (!d) throw type_mismatch_error();
    return Variant::date(*d);
  }
  Number n = number_of(v);
  if (!(n.value >= kMinDate && n.value <= kMaxDate)) throw overflow_error();
  return Variant::date(static_cast<double>(n.value));
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

Variant to_boolean(const Variant& v) {
  if (v.vt() == VT_BSTR) {
    std::string_view s = trim(v.bstr());
    if (iequals(s, "true")) return Variant(true);
    if (iequals(s, "false")) return Variant(false);
  }
  Number n = number_of(v);
  return Variant(n.value != 0);
}

Variant to_string_variant(const Variant& v) {
  VarType vt = v.vt();
  if (vt == VT_EMPTY) return Variant(std::string());
  if (vt == VT_BSTR) return v;
  if (vt == VT_BOOL) return Variant(v.signed_payload() ? "True" : "False");
  if (is_signed_int(vt)) return Variant(std::to_string(v.signed_payload()));
  if (is_unsigned_int(vt)) return Variant(std::to_string(v.unsigned_payload()));
  if (vt == VT_R8) return Variant(format_number(v.double_payload(), 15));
  if (vt == VT_R4) return Variant(format_number(v.double_payload(), 7));
  if (vt == VT_DATE) {
    std::string s = format_date(v.double_payload());
    if (s.empty()) throw overflow_error();
    return Variant(s);
  }
  throw_for_source(v);
}

}  // namespace

double round_half_even(double x) { return std::nearbyint(x); }

std::optional<long double> parse_number(std::string_view text) {
  std::string_view s = trim(text);
  if (s.empty()) return std::nullopt;
  if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
    bool hex = s[1] == 'H' || s[1] == 'h';
    std::string_view digits = s.substr(2);
    if (digits.size() > (hex ? 8u : 11u)) return std::nullopt;
    unsigned long long v = 0;
    for (char c : digits) {
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return std::nullopt;
      if (!hex && d > 7) return std::nullopt;
      v = v * (hex ? 16 : 8) + static_cast<unsigned>(d);
    }
    if (v > 0xFFFFFFFFull) return std::nullopt;
    // A literal of up to four hex digits is a 16-bit pattern, longer ones 32-bit, as the runtime reads them.
    if (hex && digits.size() <= 4 && v > 0x7FFF) return static_cast<long double>(static_cast<std::int16_t>(v));
    if (v > 0x7FFFFFFF) return static_cast<long double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    return static_cast<long double>(v);
  }
  std::string clean;
  clean.reserve(s.size());
  std::size_t i = 0;
  if (s[i] == '+' || s[i] == '-') clean += s[i++];
  bool digits_before = false, digits_after = false;
  while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == ',')) {
    if (s[i] == ',') {
      // Thousands separators stand between digits only.
      if (!digits_before || i + 1 >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i + 1])))
        return std::nullopt;
    } else {
      clean += s[i];
      digits_before = true;
    }
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    clean += s[i++];
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
      clean += s[i++];
      digits_after = true;
    }
  }
  if (!digits_before && !digits_after) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    clean += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) clean += s[i++];
    bool exp_digits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
      clean += s[i++];
      exp_digits = true;
    }
    if (!exp_digits) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  return std::strtold(clean.c_str(), nullptr);
}

std::string format_number(double x, int significant_digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
  if (x == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", significant_digits, x);
  return buf;
}

Variant change_type(const Variant& value, VarType to) {
  if (to == VT_VARIANT || to == value.vt()) return value;
  if (value.is_array() || (to & VT_ARRAY)) {
    if (!value.is_array() || !(to & VT_ARRAY)) throw type_mismatch_error();
    const SafeArray& src = value.array();
    SafeArray out(static_cast<VarType>(to & ~VT_ARRAY), src.lower_bound(), src.size());
    for (std::int32_t i = src.lower_bound(); i <= src.upper_bound(); ++i) out.set(i, src.at(i));
    return Variant(std::move(out));
  }
  if (to == VT_EMPTY) return Variant();
  if (to == VT_NULL) return Variant::null();
  if (is_integer(to)) return to_integer(value, to);
  if (to == VT_R4 || to == VT_R8) return to_real(value, to);
  if (to == VT_DATE) return to_date_variant(value);
  if (to == VT_BOOL) return to_boolean(value);
  if (to == VT_BSTR) return to_string_variant(value);
  // VT_ERROR and VT_DISPATCH only hold what they already are.
  throw_for_source(value);
}

std::string to_bstr(const Variant& value) {
  if (value.vt() == VT_BSTR) return value.bstr();
  return change_type(value, VT_BSTR).bstr();
}

}  // namespace vexa32
