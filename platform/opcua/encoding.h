#pragma once
// The OPC UA binary encoding of the built-in types, little-endian. Decoding never trusts a length
// the peer sends: every count is checked against the bytes that are left (each element takes at
// least one byte) and against the limits negotiated for the connection before anything is
// allocated, and nesting is bounded, so a malformed message is a DecodeError and nothing else.

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vexa32::opcua {

class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Limits {
  std::uint32_t max_string = 16u << 20;  // bytes of one String or ByteString
  std::uint32_t max_array = 1u << 20;    // elements of one array
  int max_depth = 32;                    // nested Variants, DataValues and DiagnosticInfos
};

using StatusCode = std::uint32_t;
using DateTime = std::int64_t;                // 100 ns ticks since 1601-01-01 UTC
using UaString = std::optional<std::string>;  // nullopt: the null string, kept apart from ""

class Reader {
 public:
  explicit Reader(std::string_view data, Limits limits = {}) : data_(data), limits_(limits) {}
  // A reader only looks at its bytes: a temporary would be gone before the first read.
  explicit Reader(std::string&& data, Limits limits = {}) = delete;

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
  std::uint8_t peek_u8() const {
    if (remaining() == 0) throw DecodeError("the message ends in the middle of a value");
    return static_cast<std::uint8_t>(data_[pos_]);
  }
  bool boolean() { return u8() != 0; }
  std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
  std::uint16_t u16() { return little<std::uint16_t>(); }
  std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
  std::uint32_t u32() { return little<std::uint32_t>(); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::uint64_t u64() { return little<std::uint64_t>(); }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  float f32();
  double f64();
  UaString string();
  // The same without a copy: the bytes where they are in the message; nullopt for the null string.
  std::optional<std::string_view> string_in_place();
  // A String whose null form is read as "".
  std::string text() { return string().value_or(std::string()); }
  std::string_view bytes(std::size_t n) { return take(n); }
  // The length of an array whose elements take at least min_element_size bytes: -1 for a null
  // array; DecodeError for anything the rest of the message cannot hold or the limits refuse.
  std::int32_t array_length(std::size_t min_element_size = 1);

  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  std::size_t position() const noexcept { return pos_; }
  std::string_view data() const noexcept { return data_; }
  const Limits& limits() const noexcept { return limits_; }
  // Nesting guard for the recursive types.
  class Nest {
   public:
    explicit Nest(Reader& r);
    ~Nest() { --r_.depth_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;

   private:
    Reader& r_;
  };

 private:
  std::string_view take(std::size_t n) {
    if (n > remaining()) throw DecodeError("the message ends in the middle of a value");
    std::string_view v = data_.substr(pos_, n);
    pos_ += n;
    return v;
  }
  // Numbers are little-endian on the wire: one load on a little-endian machine.
  template <typename T>
  T little() {
    std::string_view b = take(sizeof(T));
    if constexpr (std::endian::native == std::endian::little) {
      T v;
      std::memcpy(&v, b.data(), sizeof(T));
      return v;
    } else {
      T v = 0;
      for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<std::uint8_t>(b[i])) << (8 * i);
      return v;
    }
  }

  std::string_view data_;
  std::size_t pos_ = 0;
  Limits limits_;
  int depth_ = 0;
};

class Writer {
 public:
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void i8(std::int8_t v) { u8(static_cast<std::uint8_t>(v)); }
  void u16(std::uint16_t v) { little(v, 2); }
  void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
  void u32(std::uint32_t v) { little(v, 4); }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void u64(std::uint64_t v) { little(v, 8); }
  void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
  void f32(float v);
  void f64(double v);
  void string(const UaString& s);
  void string(std::string_view s);
  void string(const std::string& s) { string(std::string_view(s)); }
  void string(const char* s) { string(std::string_view(s)); }
  void null_string() { i32(-1); }
  void raw(std::string_view bytes) { out_.append(bytes); }
  // Overwrites four bytes written earlier (a length known only afterwards).
  void patch_u32(std::size_t at, std::uint32_t v);

  std::size_t size() const noexcept { return out_.size(); }
  const std::string& data() const noexcept { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void little(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  std::string out_;
};

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
  auto operator<=>(const Guid&) const = default;
};

struct NodeId {
  enum class Kind : std::uint8_t { Numeric, String, Guid, Opaque };
  std::uint16_t ns = 0;
  Kind kind = Kind::Numeric;
  std::uint32_t numeric = 0;
  std::string text;  // the String identifier, or the Opaque bytes
  opcua::Guid guid{};

  NodeId() = default;
  NodeId(std::uint16_t n, std::uint32_t id) : ns(n), numeric(id) {}
  static NodeId of_string(std::uint16_t n, std::string s) {
    NodeId id;
    id.ns = n;
    id.kind = Kind::String;
    id.text = std::move(s);
    return id;
  }
  bool is_null() const noexcept { return ns == 0 && kind == Kind::Numeric && numeric == 0; }
  bool operator==(const NodeId& o) const {
    if (ns != o.ns || kind != o.kind) return false;
    switch (kind) {
      case Kind::Numeric: return numeric == o.numeric;
      case Kind::Guid: return guid == o.guid;
      default: return text == o.text;
    }
  }
};

struct NodeIdHash {
  std::size_t operator()(const NodeId& id) const noexcept;
};

struct ExpandedNodeId {
  NodeId node;
  UaString namespace_uri;
  std::uint32_t server_index = 0;
};

struct QualifiedName {
  std::uint16_t ns = 0;
  UaString name;
};

struct LocalizedText {
  UaString locale;
  UaString text;
};

struct ExtensionObject {
  NodeId type_id;
  std::uint8_t encoding = 0;  // 0 no body, 1 binary body, 2 XML body
  std::string body;
};

struct DiagnosticInfo {
  std::optional<std::int32_t> symbolic_id, namespace_uri, locale, localized_text;
  UaString additional_info;
  std::optional<StatusCode> inner_status;
  std::shared_ptr<const DiagnosticInfo> inner;
};

enum class BuiltinType : std::uint8_t {
  Null = 0,
  Boolean = 1,
  SByte = 2,
  Byte = 3,
  Int16 = 4,
  UInt16 = 5,
  Int32 = 6,
  UInt32 = 7,
  Int64 = 8,
  UInt64 = 9,
  Float = 10,
  Double = 11,
  String = 12,
  DateTime = 13,
  Guid = 14,
  ByteString = 15,
  XmlElement = 16,
  NodeId = 17,
  ExpandedNodeId = 18,
  StatusCode = 19,
  QualifiedName = 20,
  LocalizedText = 21,
  ExtensionObject = 22,
  DataValue = 23,
  Variant = 24,
  DiagnosticInfo = 25,
};

struct DataValue;
struct UaVariant;

// One value of a Variant. Booleans as bool; the signed integers and DateTime as int64; the
// unsigned ones and StatusCode as uint64; Float and Double as double; String, ByteString and
// XmlElement as std::string, their null form as monostate.
using Scalar =
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Guid, NodeId, ExpandedNodeId,
                 QualifiedName, LocalizedText, ExtensionObject, std::shared_ptr<const DataValue>,
                 std::shared_ptr<const UaVariant>, std::shared_ptr<const DiagnosticInfo>>;

struct UaVariant {
  BuiltinType type = BuiltinType::Null;
  bool is_array = false;
  std::vector<Scalar> values;            // one for a scalar
  std::vector<std::int32_t> dimensions;  // only for a multi-dimensional array

  UaVariant() = default;
  UaVariant(BuiltinType t, Scalar v) : type(t), values{std::move(v)} {}
  bool is_null() const noexcept { return type == BuiltinType::Null; }
};

struct DataValue {
  bool has_value = false;
  UaVariant value;
  std::optional<StatusCode> status;  // absent means Good
  std::optional<DateTime> source_time, server_time;
  std::uint16_t source_picoseconds = 0, server_picoseconds = 0;
};

void encode(Writer& w, const Guid& v);
void encode(Writer& w, const NodeId& v);
void encode(Writer& w, const ExpandedNodeId& v);
void encode(Writer& w, const QualifiedName& v);
void encode(Writer& w, const LocalizedText& v);
void encode(Writer& w, const ExtensionObject& v);
void encode(Writer& w, const DiagnosticInfo& v);
void encode(Writer& w, const UaVariant& v);
void encode(Writer& w, const DataValue& v);

void decode(Reader& r, Guid& v);
void decode(Reader& r, NodeId& v);
void decode(Reader& r, ExpandedNodeId& v);
void decode(Reader& r, QualifiedName& v);
void decode(Reader& r, LocalizedText& v);
void decode(Reader& r, ExtensionObject& v);
void decode(Reader& r, DiagnosticInfo& v);
void decode(Reader& r, UaVariant& v);
void decode(Reader& r, DataValue& v);
// Reads past an encoded DataValue, checking it as decode would, without building it.
void skip_data_value(Reader& r);
// The current time as a UA DateTime.
DateTime now_ticks();

template <typename T>
T decode_as(Reader& r) {
  T v{};
  decode(r, v);
  return v;
}

// Arrays of structures: a null array reads as an empty one.
template <typename T, typename F>
void decode_array(Reader& r, std::vector<T>& out, std::size_t min_element_size, F&& element) {
  std::int32_t n = r.array_length(min_element_size);
  out.clear();
  if (n <= 0) return;
  out.reserve(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) out.push_back(element(r));
}
template <typename T, typename F>
void encode_array(Writer& w, const std::vector<T>& in, F&& element) {
  w.i32(static_cast<std::int32_t>(in.size()));
  for (const auto& e : in) element(w, e);
}
std::vector<std::string> decode_strings(Reader& r);
void encode_strings(Writer& w, const std::vector<std::string>& v);
std::vector<StatusCode> decode_status_codes(Reader& r);
std::vector<DiagnosticInfo> decode_diagnostics(Reader& r);

// NodeId text forms: "i=2258", "ns=2;s=Tags.Sine", "ns=1;g=09087e75-8e5e-499b-954f-f2a9603db28a",
// "ns=1;b=AQID" (base64); with "nsu=<uri>;" in place of "ns=", the namespace is named by its URI.
// nullopt when the text is none of them.
std::optional<ExpandedNodeId> parse_node_id(std::string_view text);
std::string to_string(const NodeId& id);
std::string to_string(const Guid& g);

}  // namespace vexa32::opcua
