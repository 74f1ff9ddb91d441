#include "platform/automation/variant.h"

#include <cstdio>

#include "platform/automation/convert.h"

namespace vexa32 {

bool is_valid_scalar_type(VarType vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL: return true;
    default: return false;
  }
}

std::string vartype_name(VarType vt) {
  static const struct {
    VarType vt;
    const char* name;
  } kNames[] = {
      {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I2, "VT_I2"},
      {VT_I4, "VT_I4"},       {VT_R4, "VT_R4"},     {VT_R8, "VT_R8"},
      {VT_DATE, "VT_DATE"},   {VT_BSTR, "VT_BSTR"}, {VT_DISPATCH, "VT_DISPATCH"},
      {VT_ERROR, "VT_ERROR"}, {VT_BOOL, "VT_BOOL"}, {VT_VARIANT, "VT_VARIANT"},
      {VT_I1, "VT_I1"},       {VT_UI1, "VT_UI1"},   {VT_UI2, "VT_UI2"},
      {VT_UI4, "VT_UI4"},     {VT_I8, "VT_I8"},     {VT_UI8, "VT_UI8"},
  };
  std::string prefix;
  VarType base = vt;
  if (vt & VT_ARRAY) {
    prefix = "VT_ARRAY|";
    base = static_cast<VarType>(vt & ~VT_ARRAY);
  }
  for (const auto& n : kNames) {
    if (n.vt == base) return prefix + n.name;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "VT_0x%04X", static_cast<unsigned>(vt));
  return buf;
}

SafeArray::SafeArray(VarType element_type, std::int32_t lower_bound, std::size_t count)
    : element_type_(element_type), lower_bound_(lower_bound) {
  if (element_type != VT_VARIANT && !is_valid_scalar_type(element_type)) throw type_mismatch_error();
  // Fresh elements hold the element type's zero value, as a SAFEARRAY's do.
  Variant zero;
  if (element_type != VT_VARIANT && element_type != VT_EMPTY) zero = change_type(Variant(), element_type);
  elements_.assign(count, zero);
}

Variant& SafeArray::element(std::int32_t index) {
  std::int64_t offset = std::int64_t{index} - lower_bound_;
  if (offset < 0 || offset >= static_cast<std::int64_t>(elements_.size())) throw subscript_error();
  return elements_[static_cast<std::size_t>(offset)];
}

const Variant& SafeArray::at(std::int32_t index) const { return const_cast<SafeArray*>(this)->element(index); }

void SafeArray::set(std::int32_t index, const Variant& value) {
  Variant& target = element(index);
  target = element_type_ == VT_VARIANT ? value : change_type(value, element_type_);
}

bool SafeArray::operator==(const SafeArray& other) const {
  return element_type_ == other.element_type_ && lower_bound_ == other.lower_bound_ && elements_ == other.elements_;
}

Variant::Variant(SafeArray a)
    : vt_(static_cast<VarType>(VT_ARRAY | a.element_type())), data_(std::make_shared<SafeArray>(std::move(a))) {}

const std::string& Variant::bstr() const {
  if (vt_ != VT_BSTR) throw type_mismatch_error();
  return std::get<std::string>(data_);
}

HRESULT Variant::error_code() const noexcept {
  if (vt_ != VT_ERROR) return hr::S_OK;
  const auto* code = std::get_if<std::int64_t>(&data_);
  return code ? static_cast<HRESULT>(*code) : hr::S_OK;
}

const SafeArray& Variant::array() const {
  if (!is_array()) throw type_mismatch_error();
  return *std::get<std::shared_ptr<SafeArray>>(data_);
}

bool Variant::array_shared() const noexcept {
  const auto* p = std::get_if<std::shared_ptr<SafeArray>>(&data_);
  return p && p->use_count() > 1;
}

SafeArray& Variant::array_mut() {
  if (!is_array()) throw type_mismatch_error();
  auto& p = std::get<std::shared_ptr<SafeArray>>(data_);
  if (p.use_count() > 1) p = std::make_shared<SafeArray>(*p);
  return *p;
}

const std::shared_ptr<Dispatch>& Variant::dispatch() const {
  if (vt_ != VT_DISPATCH) throw type_mismatch_error();
  return std::get<std::shared_ptr<Dispatch>>(data_);
}

std::int64_t Variant::signed_payload() const noexcept {
  if (auto p = std::get_if<std::int64_t>(&data_)) return *p;
  if (auto p = std::get_if<std::uint64_t>(&data_)) return static_cast<std::int64_t>(*p);
  return 0;
}

std::uint64_t Variant::unsigned_payload() const noexcept {
  if (auto p = std::get_if<std::uint64_t>(&data_)) return *p;
  if (auto p = std::get_if<std::int64_t>(&data_)) return static_cast<std::uint64_t>(*p);
  return 0;
}

double Variant::double_payload() const noexcept {
  if (auto p = std::get_if<double>(&data_)) return *p;
  return 0.0;
}

void Variant::throw_type_mismatch() { throw type_mismatch_error(); }

bool Variant::operator==(const Variant& other) const {
  if (vt_ != other.vt_) return false;
  if (is_array()) return array() == other.array();
  if (auto a = std::get_if<double>(&data_)) {
    // Bitwise for doubles would make NaN unequal to itself; a round-trip keeps NaN as NaN.
    double b = std::get<double>(other.data_);
    return *a == b || (*a != *a && b != b);
  }
  return data_ == other.data_;
}

std::string Variant::debug_string() const {
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "text" + std::string.
  std::string out = vartype_name(vt_);
  char buf[48];
  switch (vt_) {
    case VT_EMPTY:
    case VT_NULL: return out;
    case VT_BSTR: return out.append(" \"").append(bstr()).append("\"");
    case VT_ERROR:
      std::snprintf(buf, sizeof buf, " 0x%08X", static_cast<unsigned>(error_code()));
      return out.append(buf);
    case VT_DISPATCH: return out.append(is_nothing() ? " Nothing" : " object");
    default: break;
  }
  if (is_array()) {
    const SafeArray& a = array();
    out.append("(").append(std::to_string(a.lower_bound())).append(" To ");
    out.append(std::to_string(a.upper_bound())).append(") {");
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) out.append(", ");
      out.append(a.elements()[i].debug_string());
    }
    return out.append("}");
  }
  if (auto p = std::get_if<double>(&data_)) {
    std::snprintf(buf, sizeof buf, " %.17g", *p);
    return out.append(buf);
  }
  out.append(" ");
  if (std::holds_alternative<std::uint64_t>(data_)) return out.append(std::to_string(unsigned_payload()));
  return out.append(std::to_string(signed_payload()));
}

Variant make_array(VarType element_type, const std::vector<Variant>& values, std::int32_t lower_bound) {
  SafeArray a(element_type, lower_bound, values.size());
  for (std::size_t i = 0; i < values.size(); ++i) a.set(lower_bound + static_cast<std::int32_t>(i), values[i]);
  return Variant(std::move(a));
}

}  // namespace vexa32
