#include "platform/opcua/da/values.h"

#include <chrono>
#include <cmath>

#include "platform/automation/convert.h"

namespace vexa32::opcua {
namespace {

constexpr double kTicksPerDay = 864e9;
constexpr double kDaysFrom1601To1899 = 109205;
// Dates go through whole microseconds: a DATE of this century holds no finer step, and whole
// numbers keep the day apart from its fraction, which a double of 1e17 ticks cannot.
constexpr std::int64_t kMicrosPerDay = 86'400'000'000;
constexpr std::int64_t kMicrosFrom1601To1899 = 109205 * kMicrosPerDay;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

struct QualityEntry {
  StatusCode code;  // without the low 16 bits
  std::int32_t quality;
};
constexpr QualityEntry kQualities[] = {
    {0x00000000, 0xC0}, {0x00960000, 0xD8}, {0x40000000, 0x40}, {0x40900000, 0x44},
    {0x40930000, 0x50}, {0x40940000, 0x54}, {0x40950000, 0x58}, {0x80000000, 0x00},
    {0x80890000, 0x04}, {0x808A0000, 0x08}, {0x808B0000, 0x0C}, {0x808C0000, 0x10},
    {0x80310000, 0x18}, {0x80050000, 0x18}, {0x808D0000, 0x1C}, {0x80320000, 0x20},
};

[[noreturn]] void bad_type(const std::string& what) { throw hresult_error(hr::OPC_E_BADTYPE, what); }

std::optional<Variant> scalar_to_automation(BuiltinType type, const Scalar& s) {
  auto as_i = [&] { return std::get<std::int64_t>(s); };
  auto as_u = [&] { return std::get<std::uint64_t>(s); };
  switch (type) {
    case BuiltinType::Boolean: return Variant(std::get<bool>(s));
    case BuiltinType::SByte: return Variant(static_cast<std::int8_t>(as_i()));
    case BuiltinType::Byte: return Variant(static_cast<std::uint8_t>(as_u()));
    case BuiltinType::Int16: return Variant(static_cast<std::int16_t>(as_i()));
    case BuiltinType::UInt16: return Variant(static_cast<std::uint16_t>(as_u()));
    case BuiltinType::Int32: return Variant(static_cast<std::int32_t>(as_i()));
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode: return Variant(static_cast<std::uint32_t>(as_u()));
    case BuiltinType::Int64: return Variant(static_cast<long long>(as_i()));
    case BuiltinType::UInt64: return Variant(static_cast<unsigned long long>(as_u()));
    case BuiltinType::Float: return Variant(static_cast<float>(std::get<double>(s)));
    case BuiltinType::Double: return Variant(std::get<double>(s));
    case BuiltinType::DateTime: return Variant::date(to_date(as_i()));
    case BuiltinType::String:
    case BuiltinType::XmlElement:
      if (std::holds_alternative<std::monostate>(s)) return Variant(std::string());
      return Variant(std::get<std::string>(s));
    case BuiltinType::LocalizedText: return Variant(std::get<LocalizedText>(s).text.value_or(std::string()));
    case BuiltinType::QualifiedName: return Variant(std::get<QualifiedName>(s).name.value_or(std::string()));
    case BuiltinType::Guid: return Variant(to_string(std::get<Guid>(s)));
    case BuiltinType::NodeId: return Variant(to_string(std::get<NodeId>(s)));
    case BuiltinType::ExpandedNodeId: return Variant(to_string(std::get<ExpandedNodeId>(s).node));
    case BuiltinType::ByteString: {
      std::vector<Variant> bytes;
      if (const auto* b = std::get_if<std::string>(&s)) {
        for (char c : *b) bytes.emplace_back(static_cast<std::uint8_t>(c));
      }
      return make_array(VT_UI1, bytes, 1);
    }
    case BuiltinType::Variant: {
      const auto& inner = *std::get<std::shared_ptr<const UaVariant>>(s);
      if (inner.is_array) return std::nullopt;
      return to_automation(inner);
    }
    default: return std::nullopt;
  }
}

Scalar scalar_from_automation(const Variant& v, BuiltinType type) {
  switch (type) {
    case BuiltinType::Boolean: return to_bool(v) != 0;
    case BuiltinType::SByte: return std::int64_t{change_type(v, VT_I1).signed_payload()};
    case BuiltinType::Int16:
    case BuiltinType::Int32:
    case BuiltinType::Int64: return change_type(v, vartype_of(type)).signed_payload();
    case BuiltinType::Byte:
    case BuiltinType::UInt16:
    case BuiltinType::UInt32:
    case BuiltinType::UInt64:
    case BuiltinType::StatusCode: return change_type(v, vartype_of(type)).unsigned_payload();
    case BuiltinType::Float: return double{to_r4(v)};
    case BuiltinType::Double: return to_r8(v);
    case BuiltinType::DateTime: return from_date(vexa32::to_date(v));
    case BuiltinType::String:
    case BuiltinType::XmlElement: return to_bstr(v);
    case BuiltinType::LocalizedText: return LocalizedText{std::nullopt, to_bstr(v)};
    case BuiltinType::QualifiedName: return QualifiedName{0, to_bstr(v)};
    case BuiltinType::NodeId: {
      auto id = parse_node_id(to_bstr(v));
      if (!id || id->namespace_uri) bad_type("the text is not a NodeId");
      return id->node;
    }
    case BuiltinType::Guid: {
      auto id = parse_node_id("g=" + to_bstr(v));
      if (!id) bad_type("the text is not a Guid");
      return id->node.guid;
    }
    case BuiltinType::ByteString: {
      if (v.vt() != (VT_ARRAY | VT_UI1)) bad_type("a ByteString takes an array of bytes");
      std::string bytes;
      for (const auto& e : v.array().elements()) bytes.push_back(static_cast<char>(e.unsigned_payload()));
      return bytes;
    }
    default: bad_type("values of this node's type cannot be written");
  }
}

}  // namespace

DATE to_date(DateTime ticks) {
  if (ticks == 0) return 0;
  // Ticks of 100 ns to the nearest microsecond, without overflow at either end of the range.
  std::int64_t micros = floor_div(ticks, 10);
  if (ticks - micros * 10 >= 5) ++micros;
  const std::int64_t since_1899 = micros - kMicrosFrom1601To1899;
  const std::int64_t days = floor_div(since_1899, kMicrosPerDay);
  const double fraction = static_cast<double>(since_1899 - days * kMicrosPerDay) / static_cast<double>(kMicrosPerDay);
  // Before 30 Dec 1899 the fraction still counts forward from midnight, away from zero.
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

DateTime from_date(DATE date) {
  const double approx = (date + kDaysFrom1601To1899) * kTicksPerDay;
  if (!(approx >= 0)) return 0;
  if (approx >= 9.2e18) return INT64_MAX;
  const double whole = std::trunc(date);
  const auto days = static_cast<std::int64_t>(whole);
  const auto micros_of_day = static_cast<std::int64_t>(std::llround(std::fabs(date - whole) * kMicrosPerDay));
  const std::int64_t micros = kMicrosFrom1601To1899 + days * kMicrosPerDay + micros_of_day;
  return micros < 0 ? 0 : micros * 10;
}

std::int32_t quality_of(StatusCode code_and_bits) {
  std::int32_t limit = static_cast<std::int32_t>((code_and_bits >> 8) & 0x3);
  StatusCode code = code_and_bits & 0xFFFF0000u;
  for (const auto& q : kQualities) {
    if (q.code == code) return q.quality | limit;
  }
  if (code & 0x80000000u) return 0x00 | limit;
  if ((code & 0xC0000000u) == 0x40000000u) return 0x40 | limit;
  return 0xC0 | limit;
}

VarType vartype_of(BuiltinType type) {
  switch (type) {
    case BuiltinType::Boolean: return VT_BOOL;
    case BuiltinType::SByte: return VT_I1;
    case BuiltinType::Byte: return VT_UI1;
    case BuiltinType::Int16: return VT_I2;
    case BuiltinType::UInt16: return VT_UI2;
    case BuiltinType::Int32: return VT_I4;
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode: return VT_UI4;
    case BuiltinType::Int64: return VT_I8;
    case BuiltinType::UInt64: return VT_UI8;
    case BuiltinType::Float: return VT_R4;
    case BuiltinType::Double: return VT_R8;
    case BuiltinType::DateTime: return VT_DATE;
    case BuiltinType::String:
    case BuiltinType::XmlElement:
    case BuiltinType::LocalizedText:
    case BuiltinType::QualifiedName:
    case BuiltinType::Guid:
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId: return VT_BSTR;
    case BuiltinType::ByteString: return VT_ARRAY | VT_UI1;
    case BuiltinType::Variant: return VT_VARIANT;
    default: return VT_EMPTY;
  }
}

std::optional<BuiltinType> builtin_of_data_type(const NodeId& data_type) {
  if (data_type.ns != 0 || data_type.kind != NodeId::Kind::Numeric) return std::nullopt;
  std::uint32_t id = data_type.numeric;
  if (id >= 1 && id <= 22 && id != 22) return static_cast<BuiltinType>(id);
  switch (id) {
    case 288:    // IntegerId
    case 289:    // Counter
    case 20998:  // VersionTime
      return BuiltinType::UInt32;
    case 290: return BuiltinType::Double;    // Duration
    case 294: return BuiltinType::DateTime;  // UtcTime
    case 295:                                // LocaleId
    case 12881:                              // DateString
    case 12878:                              // NormalizedString
    case 12879:                              // DecimalString
    case 12880:                              // DurationString
    case 12877:                              // TimeString
      return BuiltinType::String;
    case 29:   // Enumeration
    case 852:  // ServerState
      return BuiltinType::Int32;
    case 30:  // Image and its subtypes
    case 2000:
    case 2001:
    case 2002:
    case 2003:
    case 311:  // ApplicationInstanceCertificate
      return BuiltinType::ByteString;
    default: return std::nullopt;
  }
}

VarType canonical_type(const NodeId& data_type, std::int32_t value_rank) {
  auto builtin = builtin_of_data_type(data_type);
  VarType vt = builtin ? vartype_of(*builtin) : VT_VARIANT;
  if (vt == VT_EMPTY) vt = VT_VARIANT;
  if (value_rank >= 0 && !(vt & VT_ARRAY)) return static_cast<VarType>(VT_ARRAY | vt);
  return vt;
}

std::optional<Variant> to_automation(const UaVariant& value) {
  if (value.type == BuiltinType::Null) return Variant();
  if (!value.is_array) {
    if (value.values.size() != 1) return std::nullopt;
    return scalar_to_automation(value.type, value.values.front());
  }
  if (value.dimensions.size() > 1) return std::nullopt;
  VarType element = vartype_of(value.type);
  if (element == VT_EMPTY || (element & VT_ARRAY)) return std::nullopt;
  SafeArray array(element, 1, value.values.size());
  auto& out = array.raw_elements();
  for (std::size_t i = 0; i < value.values.size(); ++i) {
    auto v = scalar_to_automation(value.type, value.values[i]);
    if (!v || v->is_array()) return std::nullopt;
    out[i] = std::move(*v);
  }
  return Variant(std::move(array));
}

UaVariant from_automation(const Variant& value, BuiltinType type, bool array) {
  UaVariant out;
  out.type = type;
  if (!array) {
    if (value.is_array() && type != BuiltinType::ByteString) bad_type("the node holds a single value, not an array");
    out.values.push_back(scalar_from_automation(value, type));
    return out;
  }
  if (!value.is_array()) bad_type("the node holds an array");
  out.is_array = true;
  for (const auto& e : value.array().elements()) out.values.push_back(scalar_from_automation(e, type));
  return out;
}

BuiltinType natural_builtin(VarType vt) {
  switch (vt & ~VT_ARRAY) {
    case VT_BOOL: return BuiltinType::Boolean;
    case VT_I1: return BuiltinType::SByte;
    case VT_UI1: return BuiltinType::Byte;
    case VT_I2: return BuiltinType::Int16;
    case VT_UI2: return BuiltinType::UInt16;
    case VT_I4: return BuiltinType::Int32;
    case VT_UI4: return BuiltinType::UInt32;
    case VT_I8: return BuiltinType::Int64;
    case VT_UI8: return BuiltinType::UInt64;
    case VT_R4: return BuiltinType::Float;
    case VT_R8: return BuiltinType::Double;
    case VT_DATE: return BuiltinType::DateTime;
    case VT_BSTR: return BuiltinType::String;
    default: return BuiltinType::Variant;
  }
}

void apply_requested_type(DaSample& s, std::int16_t requested_type) {
  if (requested_type == VT_EMPTY || s.value.is_empty()) return;
  try {
    s.value = change_type(s.value, static_cast<VarType>(requested_type));
  } catch (const AutomationError&) {
    s.value = Variant();
    s.quality = kQualityConfigError;
  }
}

DaSample to_da_sample(const DataValue& value, std::int16_t requested_type) {
  DaSample s;
  StatusCode code = value.status.value_or(0);  // absent: Good
  s.quality = quality_of(code);
  auto v = to_automation(value.value);
  if (!v) {
    // A structure or a matrix has no automation form.
    s.quality = kQualityConfigError;
  } else {
    s.value = std::move(*v);
    apply_requested_type(s, requested_type);
  }
  if (value.source_time) {
    s.timestamp = to_date(*value.source_time);
  } else if (value.server_time) {
    s.timestamp = to_date(*value.server_time);
  }
  return s;
}

namespace {

// The value of an encoded DataValue whose mask says it has one; empty, and no_form set, when it
// has no automation form.
Variant decode_da_value(Reader& r, bool& no_form) {
  // The scalars a data change mostly carries; the rest through the general decoder.
  switch (r.peek_u8()) {
    case 1: r.u8(); return Variant(r.boolean());
    case 2: r.u8(); return Variant(r.i8());
    case 3: r.u8(); return Variant(r.u8());
    case 4: r.u8(); return Variant(r.i16());
    case 5: r.u8(); return Variant(r.u16());
    case 6: r.u8(); return Variant(r.i32());
    case 7: r.u8(); return Variant(r.u32());
    case 8: r.u8(); return Variant(static_cast<long long>(r.i64()));
    case 9: r.u8(); return Variant(static_cast<unsigned long long>(r.u64()));
    case 10: r.u8(); return Variant(r.f32());
    case 11: r.u8(); return Variant(r.f64());
    case 13: r.u8(); return Variant::date(to_date(r.i64()));
    default: {
      auto v = to_automation(decode_as<UaVariant>(r));
      no_form = !v;
      return v ? std::move(*v) : Variant();
    }
  }
}

// The quality of the rest of an encoded DataValue (status code), then its time stamp: the source
// time stamp, else the server's.
std::int32_t decode_da_quality(Reader& r, std::uint8_t mask, bool no_form) {
  StatusCode code = (mask & 0x02) ? r.u32() : 0;
  return no_form ? kQualityConfigError : quality_of(code);
}

DATE decode_da_timestamp(Reader& r, std::uint8_t mask) {
  std::optional<DateTime> source, server;
  if (mask & 0x04) source = r.i64();
  if (mask & 0x10) r.u16();
  if (mask & 0x08) server = r.i64();
  if (mask & 0x20) r.u16();
  if (source) return to_date(*source);
  return server ? to_date(*server) : 0;
}

}  // namespace

DaSample decode_da_sample(Reader& r) {
  Reader::Nest nest(r);
  std::uint8_t mask = r.u8();
  if (mask & 0xC0) throw DecodeError("a DataValue has unknown fields");
  bool no_form = false;
  // Built in place, in the order of the encoding (a braced list is evaluated left to right).
  return DaSample{(mask & 0x01) ? decode_da_value(r, no_form) : Variant(), decode_da_quality(r, mask, no_form),
                  decode_da_timestamp(r, mask)};
}

}  // namespace vexa32::opcua
