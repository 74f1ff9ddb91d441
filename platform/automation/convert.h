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

std::int16_t to_i2(const Variant& value);
std::int32_t to_i4(const Variant& value);
float to_r4(const Variant& value);
double to_r8(const Variant& value);
DATE to_date(const Variant& value);
VARIANT_BOOL to_bool(const Variant& value);
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
