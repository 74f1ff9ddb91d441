#include "platform/opcua/encoding.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

namespace vexa32::opcua {
namespace {

// The least number of bytes each encoded built-in type takes: what bounds an array's length
// before anything is allocated for it.
std::size_t min_size(BuiltinType t) {
  switch (t) {
    case BuiltinType::Int16:
    case BuiltinType::UInt16: return 2;
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Float:
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
    case BuiltinType::StatusCode: return 4;
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Double:
    case BuiltinType::DateTime: return 8;
    case BuiltinType::Guid: return 16;
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId: return 2;
    case BuiltinType::QualifiedName: return 6;
    case BuiltinType::ExtensionObject: return 3;
    default: return 1;
  }
}

Scalar decode_scalar(Reader& r, BuiltinType t) {
  switch (t) {
    case BuiltinType::Boolean: return r.boolean();
    case BuiltinType::SByte: return std::int64_t{r.i8()};
    case BuiltinType::Byte: return std::uint64_t{r.u8()};
    case BuiltinType::Int16: return std::int64_t{r.i16()};
    case BuiltinType::UInt16: return std::uint64_t{r.u16()};
    case BuiltinType::Int32: return std::int64_t{r.i32()};
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode: return std::uint64_t{r.u32()};
    case BuiltinType::Int64:
    case BuiltinType::DateTime: return r.i64();
    case BuiltinType::UInt64: return r.u64();
    case BuiltinType::Float: return double{r.f32()};
    case BuiltinType::Double: return r.f64();
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement: {
      UaString s = r.string();
      if (!s) return std::monostate{};
      return std::move(*s);
    }
    case BuiltinType::Guid: return decode_as<Guid>(r);
    case BuiltinType::NodeId: return decode_as<NodeId>(r);
    case BuiltinType::ExpandedNodeId: return decode_as<ExpandedNodeId>(r);
    case BuiltinType::QualifiedName: return decode_as<QualifiedName>(r);
    case BuiltinType::LocalizedText: return decode_as<LocalizedText>(r);
    case BuiltinType::ExtensionObject: return decode_as<ExtensionObject>(r);
    case BuiltinType::DataValue: return std::make_shared<const DataValue>(decode_as<DataValue>(r));
    case BuiltinType::Variant: return std::make_shared<const UaVariant>(decode_as<UaVariant>(r));
    case BuiltinType::DiagnosticInfo: return std::make_shared<const DiagnosticInfo>(decode_as<DiagnosticInfo>(r));
    case BuiltinType::Null: break;
  }
  throw DecodeError("a Variant holds an unknown built-in type");
}

template <typename T>
const T& scalar_as(const Scalar& s) {
  if (const T* v = std::get_if<T>(&s)) return *v;
  throw std::invalid_argument("a Variant's value does not match its built-in type");
}

void encode_scalar(Writer& w, BuiltinType t, const Scalar& s) {
  switch (t) {
    case BuiltinType::Boolean: return w.boolean(scalar_as<bool>(s));
    case BuiltinType::SByte: return w.i8(static_cast<std::int8_t>(scalar_as<std::int64_t>(s)));
    case BuiltinType::Byte: return w.u8(static_cast<std::uint8_t>(scalar_as<std::uint64_t>(s)));
    case BuiltinType::Int16: return w.i16(static_cast<std::int16_t>(scalar_as<std::int64_t>(s)));
    case BuiltinType::UInt16: return w.u16(static_cast<std::uint16_t>(scalar_as<std::uint64_t>(s)));
    case BuiltinType::Int32: return w.i32(static_cast<std::int32_t>(scalar_as<std::int64_t>(s)));
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode: return w.u32(static_cast<std::uint32_t>(scalar_as<std::uint64_t>(s)));
    case BuiltinType::Int64:
    case BuiltinType::DateTime: return w.i64(scalar_as<std::int64_t>(s));
    case BuiltinType::UInt64: return w.u64(scalar_as<std::uint64_t>(s));
    case BuiltinType::Float: return w.f32(static_cast<float>(scalar_as<double>(s)));
    case BuiltinType::Double: return w.f64(scalar_as<double>(s));
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
      if (std::holds_alternative<std::monostate>(s)) return w.null_string();
      return w.string(scalar_as<std::string>(s));
    case BuiltinType::Guid: return encode(w, scalar_as<Guid>(s));
    case BuiltinType::NodeId: return encode(w, scalar_as<NodeId>(s));
    case BuiltinType::ExpandedNodeId: return encode(w, scalar_as<ExpandedNodeId>(s));
    case BuiltinType::QualifiedName: return encode(w, scalar_as<QualifiedName>(s));
    case BuiltinType::LocalizedText: return encode(w, scalar_as<LocalizedText>(s));
    case BuiltinType::ExtensionObject: return encode(w, scalar_as<ExtensionObject>(s));
    case BuiltinType::DataValue: return encode(w, *scalar_as<std::shared_ptr<const DataValue>>(s));
    case BuiltinType::Variant: return encode(w, *scalar_as<std::shared_ptr<const UaVariant>>(s));
    case BuiltinType::DiagnosticInfo: return encode(w, *scalar_as<std::shared_ptr<const DiagnosticInfo>>(s));
    case BuiltinType::Null: break;
  }
  throw std::invalid_argument("a Variant of an unknown built-in type cannot be encoded");
}

}  // namespace

Reader::Nest::Nest(Reader& r) : r_(r) {
  if (++r_.depth_ > r_.limits_.max_depth) {
    --r_.depth_;
    throw DecodeError("the message nests values too deeply");
  }
}

float Reader::f32() { return std::bit_cast<float>(u32()); }
double Reader::f64() { return std::bit_cast<double>(u64()); }

std::optional<std::string_view> Reader::string_in_place() {
  std::int32_t n = i32();
  if (n == -1) return std::nullopt;
  if (n < 0) throw DecodeError("a string has a negative length");
  if (static_cast<std::uint32_t>(n) > limits_.max_string) throw DecodeError("a string is longer than allowed");
  return take(static_cast<std::size_t>(n));
}

UaString Reader::string() {
  auto s = string_in_place();
  return s ? UaString(std::string(*s)) : std::nullopt;
}

std::int32_t Reader::array_length(std::size_t min_element_size) {
  std::int32_t n = i32();
  if (n == -1) return -1;
  if (n < 0) throw DecodeError("an array has a negative length");
  if (static_cast<std::uint32_t>(n) > limits_.max_array) throw DecodeError("an array is longer than allowed");
  if (static_cast<std::uint64_t>(n) * std::max<std::size_t>(min_element_size, 1) > remaining())
    throw DecodeError("an array claims more elements than the message holds");
  return n;
}

void Writer::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
void Writer::f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
void Writer::string(const UaString& s) {
  if (!s) return null_string();
  string(std::string_view(*s));
}
void Writer::string(std::string_view s) {
  if (s.size() > 0x7FFFFFFFu) throw std::length_error("a string is too long to encode");
  i32(static_cast<std::int32_t>(s.size()));
  out_.append(s);
}
void Writer::patch_u32(std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out_[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::size_t NodeIdHash::operator()(const NodeId& id) const noexcept {
  std::size_t h = std::hash<std::uint32_t>()(id.ns * 31u + static_cast<std::uint32_t>(id.kind));
  switch (id.kind) {
    case NodeId::Kind::Numeric: return h ^ std::hash<std::uint32_t>()(id.numeric) * 1099511628211u;
    case NodeId::Kind::Guid: return h ^ std::hash<std::uint32_t>()(id.guid.data1);
    default: return h ^ std::hash<std::string>()(id.text);
  }
}

void encode(Writer& w, const Guid& v) {
  w.u32(v.data1);
  w.u16(v.data2);
  w.u16(v.data3);
  for (auto b : v.data4) w.u8(b);
}

void decode(Reader& r, Guid& v) {
  v.data1 = r.u32();
  v.data2 = r.u16();
  v.data3 = r.u16();
  for (auto& b : v.data4) b = r.u8();
}

namespace {

// The NodeId encodings, with the ExpandedNodeId flags in the high bits of the same byte.
constexpr std::uint8_t kTwoByte = 0, kFourByte = 1, kNumeric = 2, kString = 3, kGuid = 4, kOpaque = 5;
constexpr std::uint8_t kHasServerIndex = 0x40, kHasNamespaceUri = 0x80;

void encode_node_id(Writer& w, const NodeId& v, std::uint8_t flags) {
  switch (v.kind) {
    case NodeId::Kind::Numeric:
      if (v.ns == 0 && v.numeric <= 0xFF) {
        w.u8(kTwoByte | flags);
        w.u8(static_cast<std::uint8_t>(v.numeric));
      } else if (v.ns <= 0xFF && v.numeric <= 0xFFFF) {
        w.u8(kFourByte | flags);
        w.u8(static_cast<std::uint8_t>(v.ns));
        w.u16(static_cast<std::uint16_t>(v.numeric));
      } else {
        w.u8(kNumeric | flags);
        w.u16(v.ns);
        w.u32(v.numeric);
      }
      return;
    case NodeId::Kind::String:
      w.u8(kString | flags);
      w.u16(v.ns);
      w.string(std::string_view(v.text));
      return;
    case NodeId::Kind::Guid:
      w.u8(kGuid | flags);
      w.u16(v.ns);
      encode(w, v.guid);
      return;
    case NodeId::Kind::Opaque:
      w.u8(kOpaque | flags);
      w.u16(v.ns);
      w.string(std::string_view(v.text));
      return;
  }
}

std::uint8_t decode_node_id(Reader& r, NodeId& v) {
  std::uint8_t byte = r.u8();
  v = NodeId();
  switch (byte & 0x3F) {
    case kTwoByte: v.numeric = r.u8(); break;
    case kFourByte:
      v.ns = r.u8();
      v.numeric = r.u16();
      break;
    case kNumeric:
      v.ns = r.u16();
      v.numeric = r.u32();
      break;
    case kString:
    case kOpaque: {
      v.ns = r.u16();
      v.kind = (byte & 0x3F) == kString ? NodeId::Kind::String : NodeId::Kind::Opaque;
      // A null identifier is not a node; it reads as the empty one, which no server names.
      v.text = r.text();
      break;
    }
    case kGuid:
      v.ns = r.u16();
      v.kind = NodeId::Kind::Guid;
      decode(r, v.guid);
      break;
    default: throw DecodeError("a NodeId has an unknown encoding");
  }
  return byte & 0xC0;
}

}  // namespace

void encode(Writer& w, const NodeId& v) { encode_node_id(w, v, 0); }

void decode(Reader& r, NodeId& v) {
  if (decode_node_id(r, v) != 0) throw DecodeError("a NodeId carries the flags of an ExpandedNodeId");
}

void encode(Writer& w, const ExpandedNodeId& v) {
  std::uint8_t flags = (v.namespace_uri ? kHasNamespaceUri : 0) | (v.server_index ? kHasServerIndex : 0);
  encode_node_id(w, v.node, flags);
  if (v.namespace_uri) w.string(v.namespace_uri);
  if (v.server_index) w.u32(v.server_index);
}

void decode(Reader& r, ExpandedNodeId& v) {
  std::uint8_t flags = decode_node_id(r, v.node);
  v.namespace_uri = (flags & kHasNamespaceUri) ? r.string() : std::nullopt;
  v.server_index = (flags & kHasServerIndex) ? r.u32() : 0;
}

void encode(Writer& w, const QualifiedName& v) {
  w.u16(v.ns);
  w.string(v.name);
}

void decode(Reader& r, QualifiedName& v) {
  v.ns = r.u16();
  v.name = r.string();
}

void encode(Writer& w, const LocalizedText& v) {
  w.u8((v.locale ? 1 : 0) | (v.text ? 2 : 0));
  if (v.locale) w.string(v.locale);
  if (v.text) w.string(v.text);
}

void decode(Reader& r, LocalizedText& v) {
  std::uint8_t mask = r.u8();
  if (mask & ~0x03) throw DecodeError("a LocalizedText has unknown fields");
  v.locale = (mask & 1) ? r.string() : std::nullopt;
  v.text = (mask & 2) ? r.string() : std::nullopt;
}

void encode(Writer& w, const ExtensionObject& v) {
  encode(w, v.type_id);
  w.u8(v.encoding);
  if (v.encoding != 0) w.string(std::string_view(v.body));
}

void decode(Reader& r, ExtensionObject& v) {
  decode(r, v.type_id);
  v.encoding = r.u8();
  if (v.encoding > 2) throw DecodeError("an ExtensionObject has an unknown encoding");
  v.body = v.encoding == 0 ? std::string() : r.text();
}

void encode(Writer& w, const DiagnosticInfo& v) {
  std::uint8_t mask = (v.symbolic_id ? 0x01 : 0) | (v.namespace_uri ? 0x02 : 0) | (v.localized_text ? 0x04 : 0) |
                      (v.locale ? 0x08 : 0) | (v.additional_info ? 0x10 : 0) | (v.inner_status ? 0x20 : 0) |
                      (v.inner ? 0x40 : 0);
  w.u8(mask);
  if (v.symbolic_id) w.i32(*v.symbolic_id);
  if (v.namespace_uri) w.i32(*v.namespace_uri);
  if (v.locale) w.i32(*v.locale);
  if (v.localized_text) w.i32(*v.localized_text);
  if (v.additional_info) w.string(v.additional_info);
  if (v.inner_status) w.u32(*v.inner_status);
  if (v.inner) encode(w, *v.inner);
}

void decode(Reader& r, DiagnosticInfo& v) {
  Reader::Nest nest(r);
  std::uint8_t mask = r.u8();
  if (mask & 0x80) throw DecodeError("a DiagnosticInfo has unknown fields");
  v = DiagnosticInfo();
  if (mask & 0x01) v.symbolic_id = r.i32();
  if (mask & 0x02) v.namespace_uri = r.i32();
  if (mask & 0x08) v.locale = r.i32();
  if (mask & 0x04) v.localized_text = r.i32();
  if (mask & 0x10) v.additional_info = r.string();
  if (mask & 0x20) v.inner_status = r.u32();
  if (mask & 0x40) v.inner = std::make_shared<const DiagnosticInfo>(decode_as<DiagnosticInfo>(r));
}

void encode(Writer& w, const UaVariant& v) {
  std::uint8_t mask = static_cast<std::uint8_t>(v.type);
  if (v.type == BuiltinType::Null) return w.u8(0);
  if (v.is_array) {
    mask |= 0x80;
    if (!v.dimensions.empty()) mask |= 0x40;
    w.u8(mask);
    w.i32(static_cast<std::int32_t>(v.values.size()));
    for (const auto& s : v.values) encode_scalar(w, v.type, s);
    if (!v.dimensions.empty()) {
      w.i32(static_cast<std::int32_t>(v.dimensions.size()));
      for (auto d : v.dimensions) w.i32(d);
    }
    return;
  }
  if (v.values.size() != 1) throw std::invalid_argument("a scalar Variant holds exactly one value");
  w.u8(mask);
  encode_scalar(w, v.type, v.values.front());
}

void decode(Reader& r, UaVariant& v) {
  Reader::Nest nest(r);
  std::uint8_t mask = r.u8();
  v = UaVariant();
  auto type = mask & 0x3F;
  if (type > static_cast<int>(BuiltinType::DiagnosticInfo)) throw DecodeError("a Variant has an unknown type");
  v.type = static_cast<BuiltinType>(type);
  if (v.type == BuiltinType::Null) {
    if (mask != 0) throw DecodeError("a null Variant carries array flags");
    return;
  }
  if (!(mask & 0x80)) {
    if (mask & 0x40) throw DecodeError("a scalar Variant carries array dimensions");
    if (v.type == BuiltinType::Variant) throw DecodeError("a Variant holds a Variant outside an array");
    v.values.push_back(decode_scalar(r, v.type));
    return;
  }
  v.is_array = true;
  std::int32_t n = r.array_length(min_size(v.type));
  if (n > 0) {
    v.values.reserve(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) v.values.push_back(decode_scalar(r, v.type));
  }
  if (mask & 0x40) {
    std::int32_t d = r.array_length(4);
    // The product only has to be compared with the element count, so it stops growing past
    // any count an array can have, and never overflows.
    constexpr std::int64_t kBeyondAnyCount = std::int64_t{1} << 32;
    std::int64_t product = 1;
    for (std::int32_t i = 0; i < d; ++i) {
      std::int32_t dim = r.i32();
      if (dim < 0) throw DecodeError("an array dimension is negative");
      v.dimensions.push_back(dim);
      product = std::min(product * dim, kBeyondAnyCount);
    }
    if (d > 0 && product != std::max(n, 0)) throw DecodeError("array dimensions do not match the element count");
  }
}

void encode(Writer& w, const DataValue& v) {
  std::uint8_t mask = (v.has_value ? 0x01 : 0) | (v.status ? 0x02 : 0) | (v.source_time ? 0x04 : 0) |
                      (v.server_time ? 0x08 : 0) | (v.source_picoseconds ? 0x10 : 0) |
                      (v.server_picoseconds ? 0x20 : 0);
  w.u8(mask);
  if (v.has_value) encode(w, v.value);
  if (v.status) w.u32(*v.status);
  if (v.source_time) w.i64(*v.source_time);
  if (v.source_picoseconds) w.u16(v.source_picoseconds);
  if (v.server_time) w.i64(*v.server_time);
  if (v.server_picoseconds) w.u16(v.server_picoseconds);
}

void decode(Reader& r, DataValue& v) {
  Reader::Nest nest(r);
  std::uint8_t mask = r.u8();
  if (mask & 0xC0) throw DecodeError("a DataValue has unknown fields");
  v = DataValue();
  v.has_value = mask & 0x01;
  if (v.has_value) decode(r, v.value);
  if (mask & 0x02) v.status = r.u32();
  if (mask & 0x04) v.source_time = r.i64();
  if (mask & 0x10) v.source_picoseconds = r.u16();
  if (mask & 0x08) v.server_time = r.i64();
  if (mask & 0x20) v.server_picoseconds = r.u16();
}

void skip_data_value(Reader& r) {
  Reader::Nest nest(r);
  std::uint8_t mask = r.u8();
  if (mask & 0xC0) throw DecodeError("a DataValue has unknown fields");
  if (mask & 0x01) {
    // The scalars of fixed size a data change mostly carries are stepped over; the rest goes
    // through the decoder, which checks them the same way.
    static constexpr std::uint8_t kFixedSize[] = {0, 1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 0, 8};
    std::uint8_t encoding = r.peek_u8();
    if (encoding < sizeof kFixedSize && kFixedSize[encoding] != 0) {
      r.u8();
      r.bytes(kFixedSize[encoding]);
    } else {
      decode_as<UaVariant>(r);
    }
  }
  std::size_t tail = ((mask & 0x02) ? 4 : 0) + ((mask & 0x04) ? 8 : 0) + ((mask & 0x10) ? 2 : 0) +
                     ((mask & 0x08) ? 8 : 0) + ((mask & 0x20) ? 2 : 0);
  r.bytes(tail);
}

DateTime now_ticks() {
  using namespace std::chrono;
  auto since_1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
  return since_1970 + 116444736000000000LL;  // ticks from 1601 to 1970
}

std::vector<std::string> decode_strings(Reader& r) {
  std::vector<std::string> out;
  decode_array(r, out, 4, [](Reader& x) { return x.text(); });
  return out;
}

void encode_strings(Writer& w, const std::vector<std::string>& v) {
  encode_array(w, v, [](Writer& x, const std::string& s) { x.string(std::string_view(s)); });
}

std::vector<StatusCode> decode_status_codes(Reader& r) {
  std::vector<StatusCode> out;
  decode_array(r, out, 4, [](Reader& x) { return x.u32(); });
  return out;
}

std::vector<DiagnosticInfo> decode_diagnostics(Reader& r) {
  std::vector<DiagnosticInfo> out;
  decode_array(r, out, 1, [](Reader& x) { return decode_as<DiagnosticInfo>(x); });
  return out;
}

}  // namespace vexa32::opcua
