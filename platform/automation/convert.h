#pragma once
// The OLE Automation conversion rules (VariantChangeType), with the run-time errors a script host
// raises: overflow (6), type mismatch (13), invalid use of Null (94).

#include <optional>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"

namespace vexa32 {

// Converts to the given type. VT_VARIANT returns the value unchanged; VT_EMPTY empties it;
// an array converts element by element to an array of another element type.
Variant change_type(const Variant& value, VarType to);

// Typed conversions; a value that already has the type is read directly.
inline std::int16_t to_i2(const Variant& value) {
  return value.vt() == VT_I2 ? value.i2() : change_type(value, VT_I2).i2();
}
inline std::int32_t to_i4(const Variant& value) {
  return value.vt() == VT_I4 ? value.i4() : change_type(value, VT_I4).i4();
}
inline float to_r4(const Variant& value) { return value.vt() == VT_R4 ? value.r4() : change_type(value, VT_R4).r4(); }
inline double to_r8(const Variant& value) { return value.vt() == VT_R8 ? value.r8() : change_type(value, VT_R8).r8(); }
inline DATE to_date(const Variant& value) {
  return value.vt() == VT_DATE ? value.date_value() : change_type(value, VT_DATE).date_value();
}
inline VARIANT_BOOL to_bool(const Variant& value) {
  return value.vt() == VT_BOOL ? value.boolean() : change_type(value, VT_BOOL).boolean();
}
std::string to_bstr(const Variant& value);

// Round half to even, the rule for every fraction that becomes an integer.
double round_half_even(double x);

// Numeric text as the en-US runtime reads it: blanks around, a sign, thousands separators,
// a decimal point, an exponent, or &H / &O literals. nullopt for anything else.
std::optional<long double> parse_number(std::string_view text);

// A double as the runtime writes it: up to 15 significant digits (7 for a single), scientific
// form with a two-digit exponent only for very large or small values ("1E+20", "1.5E-07").
std::string format_number(double x, int significant_digits = 15);

}  // namespace vexa32
