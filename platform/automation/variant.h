#pragma once
// Automation values: the VARIANT of OLE Automation as a C++ value type. Arrays are SAFEARRAY-like,
// one-dimensional with a lower bound, shared until written (copying a variant is cheap even when
// it carries the arrays of a data-change callback).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/automation/errors.h"

namespace vexa32 {

using VarType = std::uint16_t;
inline constexpr VarType VT_EMPTY = 0;
inline constexpr VarType VT_NULL = 1;
inline constexpr VarType VT_I2 = 2;
inline constexpr VarType VT_I4 = 3;
inline constexpr VarType VT_R4 = 4;
inline constexpr VarType VT_R8 = 5;
inline constexpr VarType VT_DATE = 7;
inline constexpr VarType VT_BSTR = 8;
inline constexpr VarType VT_DISPATCH = 9;
inline constexpr VarType VT_ERROR = 10;
inline constexpr VarType VT_BOOL = 11;
inline constexpr VarType VT_VARIANT = 12;
inline constexpr VarType VT_I1 = 16;
inline constexpr VarType VT_UI1 = 17;
inline constexpr VarType VT_UI2 = 18;
inline constexpr VarType VT_UI4 = 19;
inline constexpr VarType VT_I8 = 20;
inline constexpr VarType VT_UI8 = 21;
inline constexpr VarType VT_ARRAY = 0x2000;

using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
using DATE = double;

class Dispatch;
class SafeArray;

// Whether vt names a scalar type a Variant can hold (arrays are VT_ARRAY | one of these, or of VT_VARIANT).
bool is_valid_scalar_type(VarType vt);
// "VT_I2", "VT_ARRAY|VT_BSTR", ...; "VT_0x..." for an unknown code.
std::string vartype_name(VarType vt);

class Variant {
 public:
  Variant() noexcept = default;
  Variant(const Variant&) = default;
  // Moving a number is the common case too (building data changes): no visit of the storage.
  Variant(Variant&& other) noexcept : vt_(other.vt_), data_(take(other.data_)) {}
  Variant& operator=(Variant&&) noexcept = default;
  // Copying a number over a number is the common case (data changes): no visit of the storage.
  Variant& operator=(const Variant& other) {
    const std::size_t index = data_.index();
    if (index == other.data_.index() && index >= 1 && index <= 3) {
      vt_ = other.vt_;
      if (index == 3) {
        *std::get_if<double>(&data_) = *std::get_if<double>(&other.data_);
      } else if (index == 1) {
        *std::get_if<std::int64_t>(&data_) = *std::get_if<std::int64_t>(&other.data_);
      } else {
        *std::get_if<std::uint64_t>(&data_) = *std::get_if<std::uint64_t>(&other.data_);
      }
      return *this;
    }
    vt_ = other.vt_;
    data_ = other.data_;
    return *this;
  }
  Variant(std::int8_t v) : vt_(VT_I1), data_(std::int64_t{v}) {}
  Variant(std::int16_t v) : vt_(VT_I2), data_(std::int64_t{v}) {}
  Variant(std::int32_t v) : vt_(VT_I4), data_(std::int64_t{v}) {}
  Variant(long v) : vt_(VT_I8), data_(static_cast<std::int64_t>(v)) {}
  Variant(long long v) : vt_(VT_I8), data_(static_cast<std::int64_t>(v)) {}
  Variant(std::uint8_t v) : vt_(VT_UI1), data_(std::uint64_t{v}) {}
  Variant(std::uint16_t v) : vt_(VT_UI2), data_(std::uint64_t{v}) {}
  Variant(std::uint32_t v) : vt_(VT_UI4), data_(std::uint64_t{v}) {}
  Variant(unsigned long v) : vt_(VT_UI8), data_(static_cast<std::uint64_t>(v)) {}
  Variant(unsigned long long v) : vt_(VT_UI8), data_(static_cast<std::uint64_t>(v)) {}
  Variant(float v) : vt_(VT_R4), data_(double{v}) {}
  Variant(double v) : vt_(VT_R8), data_(v) {}
  Variant(bool v) : vt_(VT_BOOL), data_(std::int64_t{v ? -1 : 0}) {}
  Variant(const char* s) : vt_(VT_BSTR), data_(std::string(s)) {}
  Variant(std::string s) : vt_(VT_BSTR), data_(std::move(s)) {}
  Variant(std::string_view s) : vt_(VT_BSTR), data_(std::string(s)) {}
  Variant(SafeArray a);
  Variant(std::shared_ptr<Dispatch> object) : vt_(VT_DISPATCH), data_(std::move(object)) {}

  static Variant null() {
    Variant v;
    v.vt_ = VT_NULL;
    return v;
  }
  static Variant date(DATE d) {
    Variant v(d);
    v.vt_ = VT_DATE;
    return v;
  }
  static Variant error(HRESULT scode) {
    Variant v(std::int64_t{scode}, VT_ERROR);
    return v;
  }
  // An optional argument the caller left out (VT_ERROR holding DISP_E_PARAMNOTFOUND).
  static Variant missing() { return error(hr::DISP_E_PARAMNOTFOUND); }
  // The object reference "Nothing".
  static Variant nothing() { return Variant(std::shared_ptr<Dispatch>()); }
  static Variant from_bool(VARIANT_BOOL b) { return Variant(b != 0); }

  VarType vt() const noexcept { return vt_; }
  bool is_empty() const noexcept { return vt_ == VT_EMPTY; }
  bool is_null() const noexcept { return vt_ == VT_NULL; }
  bool is_array() const noexcept { return (vt_ & VT_ARRAY) != 0; }
  bool is_missing() const noexcept { return vt_ == VT_ERROR && error_code() == hr::DISP_E_PARAMNOTFOUND; }
  bool is_nothing() const noexcept { return vt_ == VT_DISPATCH && !std::get<std::shared_ptr<Dispatch>>(data_); }

  // Exact-type accessors: type mismatch (run-time error 13) when the variant holds another type.
  std::int16_t i2() const { return static_cast<std::int16_t>(signed_of(VT_I2)); }
  std::int32_t i4() const { return static_cast<std::int32_t>(signed_of(VT_I4)); }
  float r4() const { return static_cast<float>(double_of(VT_R4)); }
  double r8() const { return double_of(VT_R8); }
  DATE date_value() const { return double_of(VT_DATE); }
  VARIANT_BOOL boolean() const { return static_cast<VARIANT_BOOL>(signed_of(VT_BOOL)); }
  const std::string& bstr() const;
  HRESULT error_code() const noexcept;
  const SafeArray& array() const;
  // Whether another variant holds the same array, so that array_mut() would copy it first.
  bool array_shared() const noexcept;
  // Writable array: unshared first, so other copies keep their contents.
  SafeArray& array_mut();
  const std::shared_ptr<Dispatch>& dispatch() const;

  // Raw numeric payloads, for the conversion rules: valid for the integer, float, date and
  // boolean types respectively.
  std::int64_t signed_payload() const noexcept;
  std::uint64_t unsigned_payload() const noexcept;
  double double_payload() const noexcept;

  // Same type and same value (arrays element by element, objects by identity). Unlike a script
  // comparison, 1 (VT_I2) and 1 (VT_I4) differ: this is what round-trips must preserve.
  bool operator==(const Variant& other) const;

  // Readable form for messages and test output: "VT_I2 250", "VT_BSTR \"x\"".
  std::string debug_string() const;

 private:
  Variant(std::int64_t raw, VarType vt) : vt_(vt), data_(raw) {}
  std::int64_t signed_of(VarType vt) const {
    if (vt_ != vt) throw_type_mismatch();
    return *std::get_if<std::int64_t>(&data_);
  }
  double double_of(VarType vt) const {
    if (vt_ != vt) throw_type_mismatch();
    return *std::get_if<double>(&data_);
  }
  [[noreturn]] static void throw_type_mismatch();

  using Storage = std::variant<std::monostate, std::int64_t, std::uint64_t, double, std::string,
                               std::shared_ptr<SafeArray>, std::shared_ptr<Dispatch>>;
  static Storage take(Storage& s) noexcept {
    switch (s.index()) {
      case 0: return Storage();
      case 1: return Storage(std::in_place_index<1>, *std::get_if<1>(&s));
      case 2: return Storage(std::in_place_index<2>, *std::get_if<2>(&s));
      case 3: return Storage(std::in_place_index<3>, *std::get_if<3>(&s));
      default: return Storage(std::move(s));
    }
  }
  VarType vt_ = VT_EMPTY;
  Storage data_;
};

// A one-dimensional array with a lower bound. Elements of a typed array always hold that type;
// a VT_VARIANT array holds anything.
class SafeArray {
 public:
  SafeArray(VarType element_type, std::int32_t lower_bound, std::size_t count);

  VarType element_type() const noexcept { return element_type_; }
  std::int32_t lower_bound() const noexcept { return lower_bound_; }
  std::int32_t upper_bound() const noexcept { return lower_bound_ + static_cast<std::int32_t>(elements_.size()) - 1; }
  std::size_t size() const noexcept { return elements_.size(); }

  // Index checked against the bounds: subscript out of range (run-time error 9) outside them.
  const Variant& at(std::int32_t index) const;
  // Stores value converted to the element type (a typed array never holds another type).
  void set(std::int32_t index, const Variant& value);

  const std::vector<Variant>& elements() const noexcept { return elements_; }
  // For builders that fill elements of the right type directly.
  std::vector<Variant>& raw_elements() noexcept { return elements_; }

  bool operator==(const SafeArray& other) const;

 private:
  Variant& element(std::int32_t index);

  VarType element_type_;
  std::int32_t lower_bound_;
  std::vector<Variant> elements_;
};

// Builds a one-based (or other lower bound) array from a list of values converted to the element type.
Variant make_array(VarType element_type, const std::vector<Variant>& values, std::int32_t lower_bound = 1);

}  // namespace vexa32
