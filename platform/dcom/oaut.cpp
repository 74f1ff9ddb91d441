#include "platform/dcom/oaut.h"

#include <bit>
#include <cstdio>
#include <limits>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

// Wire-only type codes that vexa32::Variant does not have.
constexpr VarType kCy = 6, kUnknown = 13, kDecimal = 14, kInt = 22, kUint = 23, kRecord = 36;
constexpr VarType kVector = 0x1000, kByref = 0x4000, kReserved = 0x8000, kTypeMask = 0x0FFF;

// SAFEARRAYUNION arms.
constexpr std::uint32_t kSfI1 = 16, kSfI2 = 2, kSfI4 = 3, kSfI8 = 20, kSfBstr = 8, kSfVariant = 12;
// fFeatures Windows sets on the arrays it creates.
constexpr std::uint16_t kFadfHaveVartype = 0x0080, kFadfBstr = 0x0100, kFadfVariant = 0x0800;
constexpr std::uint32_t kNullBstr = 0xFFFFFFFFu;

std::string type_name(VarType vt) {
  static const struct {
    VarType vt;
    const char* name;
  } kWireOnly[] = {{kCy, "VT_CY"},   {kUnknown, "VT_UNKNOWN"}, {kDecimal, "VT_DECIMAL"},
                   {kInt, "VT_INT"}, {kUint, "VT_UINT"},       {kRecord, "VT_RECORD"}};
  std::string prefix;
  if (vt & kByref) prefix += "VT_BYREF|";
  if (vt & VT_ARRAY) prefix += "VT_ARRAY|";
  if (vt & kVector) prefix += "VT_VECTOR|";
  const auto base = static_cast<VarType>(vt & kTypeMask);
  for (const auto& n : kWireOnly) {
    if (n.vt == base) return prefix + n.name;
  }
  if (is_valid_scalar_type(base) || base == VT_VARIANT) return prefix + vartype_name(base);
  char buf[16];
  std::snprintf(buf, sizeof buf, "VT_0x%04X", static_cast<unsigned>(vt));
  return buf;
}

[[noreturn]] void unsupported(VarType vt, const char* where) {
  throw NdrError(std::string("a ") + where + " of type " + type_name(vt) + ", which this client does not take");
}

[[noreturn]] void cannot_send(VarType vt) {
  throw DcomError(status::E_INVALIDARG, "a value of type " + type_name(vt) + " cannot be sent over DCOM");
}

// Number types: their width on the wire and the SAFEARRAY arm that carries them; 0 for others.
[[gnu::always_inline]] inline unsigned number_width(VarType vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case kInt:
    case kUint:
    case VT_ERROR:
    case VT_R4: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE: return 8;
    default: return 0;
  }
}

std::uint32_t safearray_arm(VarType element) {
  switch (number_width(element)) {
    case 1: return kSfI1;
    case 2: return kSfI2;
    case 4: return kSfI4;
    case 8: return kSfI8;
    default: break;
  }
  if (element == VT_BSTR) return kSfBstr;
  if (element == VT_VARIANT) return kSfVariant;
  return 0;
}

// The bits of a number as the wire has them.
std::uint64_t number_bits(const Variant& v) {
  switch (v.vt()) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_BOOL: return static_cast<std::uint64_t>(v.signed_payload());
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8: return v.unsigned_payload();
    case VT_ERROR: return static_cast<std::uint32_t>(v.error_code());
    case VT_R4: return std::bit_cast<std::uint32_t>(static_cast<float>(v.double_payload()));
    default: return std::bit_cast<std::uint64_t>(v.double_payload());  // R8, DATE
  }
}

[[gnu::always_inline]] inline Variant number_from_bits(VarType vt, std::uint64_t bits) {
  switch (vt) {
    case VT_I1: return Variant(static_cast<std::int8_t>(bits));
    case VT_UI1: return Variant(static_cast<std::uint8_t>(bits));
    case VT_I2: return Variant(static_cast<std::int16_t>(bits));
    case VT_UI2: return Variant(static_cast<std::uint16_t>(bits));
    case VT_BOOL: return Variant::from_bool(static_cast<VARIANT_BOOL>(bits));
    case VT_I4:
    case kInt: return Variant(static_cast<std::int32_t>(bits));
    case VT_UI4:
    case kUint: return Variant(static_cast<std::uint32_t>(bits));
    case VT_ERROR: return Variant::error(static_cast<HRESULT>(static_cast<std::uint32_t>(bits)));
    case VT_R4: return Variant(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case VT_I8: return Variant(static_cast<long long>(bits));
    case VT_UI8: return Variant(static_cast<unsigned long long>(bits));
    case VT_R8: return Variant(std::bit_cast<double>(bits));
    default: return Variant::date(std::bit_cast<double>(bits));  // VT_DATE
  }
}

void write_bits(NdrWriter& w, unsigned width, std::uint64_t bits) {
  switch (width) {
    case 1: w.u8(static_cast<std::uint8_t>(bits)); break;
    case 2: w.u16(static_cast<std::uint16_t>(bits)); break;
    case 4: w.u32(static_cast<std::uint32_t>(bits)); break;
    default: w.u64(bits); break;
  }
}

[[gnu::always_inline]] inline std::uint64_t read_bits(NdrReader& r, unsigned width) {
  switch (width) {
    case 1: return r.u8();
    case 2: return r.u16();
    case 4: return r.u32();
    default: return r.u64();
  }
}

void write_safearray_body(NdrWriter& w, const SafeArray& a) {
  const VarType element = a.element_type();
  const std::uint32_t arm = safearray_arm(element);
  if (arm == 0) cannot_send(static_cast<VarType>(VT_ARRAY | element));
  const auto count = static_cast<std::uint32_t>(a.size());
  const unsigned width = number_width(element);
  std::uint16_t features = kFadfHaveVartype;
  if (element == VT_BSTR) features |= kFadfBstr;
  if (element == VT_VARIANT) features |= kFadfVariant;

  w.conformance(1);  // the bounds' count, ahead of the structure
  w.u16(1);          // cDims
  w.u16(features);
  // Element size as Windows sends it: a pointer's 4 for BSTR, a 32-bit VARIANT's 16.
  w.u32(width != 0 ? width : element == VT_BSTR ? 4 : 16);
  w.u32(static_cast<std::uint32_t>(element) << 16);  // cLocks: no locks, the element type above them
  w.u32(arm);
  w.u32(count);
  w.ref();
  w.u32(count);
  w.i32(a.lower_bound());
  // The elements, deferred behind the structure.
  w.conformance(count);
  const auto& elements = a.elements();
  if (width != 0) {
    for (const auto& e : elements) write_bits(w, width, number_bits(e));
  } else if (element == VT_BSTR) {
    for (std::uint32_t i = 0; i < count; ++i) w.ref();
    for (const auto& e : elements) write_bstr_blob(w, e.bstr());
  } else {
    for (std::uint32_t i = 0; i < count; ++i) w.ref();
    for (const auto& e : elements) write_variant_body(w, e);
  }
}

VarType taken_as(VarType element) { return element == kInt ? VT_I4 : element == kUint ? VT_UI4 : element; }

// Some element types a SafeArray of this build cannot hold (it refuses VT_ERROR arrays): the peer's
// array is then refused like any other value we cannot take.
SafeArray new_array(VarType element, std::int32_t lower_bound) {
  try {
    return SafeArray(taken_as(element), lower_bound, 0);
  } catch (const AutomationError&) {
    unsupported(static_cast<VarType>(VT_ARRAY | element), "SAFEARRAY");
  }
}

Variant empty_array(VarType element) { return Variant(new_array(element, 0)); }

Variant read_safearray_body(NdrReader& r, VarType element) {
  NdrReader::DepthGuard depth(r);
  const std::uint32_t arm_expected = safearray_arm(element);
  if (arm_expected == 0 || element == VT_EMPTY || element == VT_NULL) {
    unsupported(static_cast<VarType>(VT_ARRAY | element), "SAFEARRAY");
  }
  const std::uint32_t dims_max = r.conformance(8);
  const std::uint16_t dims = r.u16();
  r.u16();  // fFeatures: the type comes from the caller
  const std::uint32_t element_size = r.u32();
  r.u32();  // cLocks
  if (dims != dims_max) {
    throw NdrError("a SAFEARRAY of " + std::to_string(dims) + " dimensions with " + std::to_string(dims_max) +
                   " bounds");
  }
  if (dims != 1) throw NdrError("a SAFEARRAY of " + std::to_string(dims) + " dimensions; only one is taken");
  const std::uint32_t arm = r.u32();
  if (arm != arm_expected) {
    throw NdrError("a SAFEARRAY of " + type_name(element) + " marshaled as sfType " + std::to_string(arm));
  }
  const unsigned width = number_width(element);
  if (width != 0 && element_size != width) {
    throw NdrError("a SAFEARRAY of " + type_name(element) + " with elements of " + std::to_string(element_size) +
                   " bytes");
  }
  const std::uint32_t size = r.u32();
  const bool has_data = r.unique();
  const std::uint32_t elements = r.u32();
  const std::int32_t lower_bound = r.i32();
  if (elements != size) {
    throw NdrError("a SAFEARRAY bound of " + std::to_string(elements) + " elements holding " + std::to_string(size));
  }
  if (std::int64_t{lower_bound} + elements - 1 > std::numeric_limits<std::int32_t>::max()) {
    throw NdrError("a SAFEARRAY whose upper bound passes 2^31");
  }
  if (!has_data) {
    if (size != 0) throw NdrError("a SAFEARRAY of " + std::to_string(size) + " elements without data");
    return Variant(new_array(element, lower_bound));
  }
  // Numbers take their width each, BSTRs and VARIANTs at least a pointer.
  const std::uint32_t count = r.conformance(width != 0 ? width : 4);
  if (count != size) {
    throw NdrError("SAFEARRAY data of " + std::to_string(count) + " elements for " + std::to_string(size));
  }
  SafeArray a = new_array(element, lower_bound);
  auto& out = a.raw_elements();
  out.reserve(count);
  if (width != 0) {
    for (std::uint32_t i = 0; i < count; ++i) out.push_back(number_from_bits(element, read_bits(r, width)));
  } else {
    std::vector<bool> present(count);
    for (std::uint32_t i = 0; i < count; ++i) present[i] = r.unique();
    for (std::uint32_t i = 0; i < count; ++i) {
      if (element == VT_BSTR) {
        out.emplace_back(present[i] ? read_bstr_blob(r) : std::string());
      } else {
        out.push_back(present[i] ? read_variant_body(r) : Variant());
      }
    }
  }
  return Variant(std::move(a));
}

}  // namespace

void write_bstr_blob(NdrWriter& w, std::string_view utf8) {
  const std::u16string units = utf16_from_utf8(utf8);
  const auto count = static_cast<std::uint32_t>(units.size());
  w.conformance(count);
  w.u32(count * 2);  // cBytes
  w.u32(count);      // clSize
  for (char16_t c : units) w.u16(c);
}

std::string read_bstr_blob(NdrReader& r) {
  const std::uint32_t max = r.conformance(2);
  const std::uint32_t bytes = r.u32();
  const std::uint32_t count = r.u32();
  if (count != max) {
    throw NdrError("a BSTR of " + std::to_string(count) + " characters with a max count of " + std::to_string(max));
  }
  if (bytes == kNullBstr) {
    if (count != 0) throw NdrError("a NULL BSTR with " + std::to_string(count) + " characters");
    return {};
  }
  if ((std::uint64_t{bytes} + 1) / 2 != count) {
    throw NdrError("a BSTR of " + std::to_string(bytes) + " bytes in " + std::to_string(count) + " characters");
  }
  if (bytes % 2 != 0) throw NdrError("a BSTR of an odd byte count (binary data, not text)");
  return r.wide_chars(count);
}

void write_bstr(NdrWriter& w, std::string_view utf8) {
  w.unique(true);
  write_bstr_blob(w, utf8);
}

std::string read_bstr(NdrReader& r) { return r.unique() ? read_bstr_blob(r) : std::string(); }

void write_variant_body(NdrWriter& w, const Variant& v) {
  const VarType vt = v.vt();
  w.align(8);
  const std::size_t start = w.size();
  w.u32(0);  // clSize, known at the end
  w.u32(0);  // rpcReserved
  w.u16(vt);
  w.u16(0);
  w.u16(0);
  w.u16(0);
  // The union's discriminant: the type, or for arrays only the array flag.
  w.u32(v.is_array() ? VT_ARRAY : vt);
  if (v.is_array()) {
    w.unique(true);  // the SAFEARRAY*
    w.unique(true);  // the SAFEARRAY itself is a pointer too
    write_safearray_body(w, v.array());
  } else if (const unsigned width = number_width(vt)) {
    write_bits(w, width, number_bits(v));
  } else if (vt == VT_BSTR) {
    write_bstr(w, v.bstr());
  } else if (vt == VT_DISPATCH && v.is_nothing()) {
    w.unique(false);
  } else if (vt != VT_EMPTY && vt != VT_NULL) {
    cannot_send(vt);
  }
  // Everything written for it, in 8-byte units.
  w.patch_u32(start, static_cast<std::uint32_t>((w.size() - start + 7) / 8));
}

Variant read_variant_body(NdrReader& r) {
  NdrReader::DepthGuard depth(r);
  r.align(8);
  // clSize (the reader finds the end itself), rpcReserved, vt, three reserved words and the
  // union's discriminant: one block, taken at once.
  const char* head = r.bytes(20).data();
  const VarType vt = NdrReader::little<std::uint16_t>(head + 8);
  const std::uint32_t discriminant = NdrReader::little<std::uint32_t>(head + 16);
  const std::uint32_t expected = (vt & VT_ARRAY) ? (vt & ~kTypeMask) : vt;
  if (discriminant != expected) {
    throw NdrError("a VARIANT of type " + type_name(vt) + " with union discriminant " + std::to_string(discriminant));
  }
  if (vt & (kByref | kVector | kReserved)) unsupported(vt, "VARIANT");
  if (vt & VT_ARRAY) {
    const auto element = static_cast<VarType>(vt & kTypeMask);
    if (safearray_arm(element) == 0) unsupported(vt, "VARIANT");
    if (!r.unique() || !r.unique()) return empty_array(element);
    return read_safearray_body(r, element);
  }
  if (const unsigned width = number_width(vt)) return number_from_bits(vt, read_bits(r, width));
  switch (vt) {
    case VT_EMPTY: return Variant();
    case VT_NULL: return Variant::null();
    case VT_BSTR: return Variant(read_bstr(r));
    case VT_DISPATCH:
      if (r.unique()) throw NdrError("a VARIANT holding an object (VT_DISPATCH), which this client does not take");
      return Variant::nothing();
    default: unsupported(vt, "VARIANT");
  }
}

void write_variant(NdrWriter& w, const Variant& v) {
  w.unique(true);
  write_variant_body(w, v);
}

Variant read_variant(NdrReader& r) { return r.unique() ? read_variant_body(r) : Variant(); }

void write_safearray(NdrWriter& w, const SafeArray& a) {
  w.unique(true);
  write_safearray_body(w, a);
}

Variant read_safearray(NdrReader& r, VarType element_type) {
  if (!r.unique()) {
    if (safearray_arm(element_type) == 0) unsupported(static_cast<VarType>(VT_ARRAY | element_type), "SAFEARRAY");
    return empty_array(element_type);
  }
  return read_safearray_body(r, element_type);
}

}  // namespace vexa32::dcom
