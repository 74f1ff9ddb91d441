// The binary encoding against byte sequences worked out from the standard, and malformed input.

#include "platform/opcua/encoding.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/opcua/services.h"

namespace vexa32::opcua {
namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

std::string hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

struct EncodingCase {
  const char* name;
  std::function<void(Writer&)> write;
  std::string expected;
  // Decodes what was written and encodes it again.
  std::function<void(Reader&, Writer&)> round_trip;
};

template <typename T>
std::function<void(Reader&, Writer&)> again() {
  return [](Reader& r, Writer& w) { encode(w, decode_as<T>(r)); };
}

NodeId guid_node() {
  NodeId id;
  id.ns = 1;
  id.kind = NodeId::Kind::Guid;
  id.guid = {0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
  return id;
}

TEST(UaEncoding, BuiltInTypesEncodeAsTheStandardShowsAndReadBack) {
  const EncodingCase cases[] = {
      {"Boolean", [](Writer& w) { w.boolean(true); }, bytes({1}), nullptr},
      {"SByte -2", [](Writer& w) { w.i8(-2); }, bytes({0xFE}), nullptr},
      {"Int16 -2", [](Writer& w) { w.i16(-2); }, bytes({0xFE, 0xFF}), nullptr},
      {"UInt32", [](Writer& w) { w.u32(0x01020304); }, bytes({4, 3, 2, 1}), nullptr},
      {"Int64 -1", [](Writer& w) { w.i64(-1); }, std::string(8, '\xFF'), nullptr},
      {"Float 1.0", [](Writer& w) { w.f32(1.0f); }, bytes({0, 0, 0x80, 0x3F}), nullptr},
      {"Double 6.0", [](Writer& w) { w.f64(6.0); }, bytes({0, 0, 0, 0, 0, 0, 0x18, 0x40}), nullptr},
      {"null String", [](Writer& w) { w.string(UaString()); }, bytes({0xFF, 0xFF, 0xFF, 0xFF}), nullptr},
      {"empty String", [](Writer& w) { w.string(UaString("")); }, bytes({0, 0, 0, 0}), nullptr},
      {"String", [](Writer& w) { w.string("水Boy"); }, bytes({6, 0, 0, 0, 0xE6, 0xB0, 0xB4, 'B', 'o', 'y'}), nullptr},
      {"Guid", [](Writer& w) { encode(w, guid_node().guid); },
       bytes({0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A, 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}),
       again<Guid>()},
      {"NodeId two-byte", [](Writer& w) { encode(w, NodeId(0, 72)); }, bytes({0x00, 0x48}), again<NodeId>()},
      {"NodeId two-byte at 255", [](Writer& w) { encode(w, NodeId(0, 255)); }, bytes({0x00, 0xFF}), again<NodeId>()},
      {"NodeId four-byte at 256", [](Writer& w) { encode(w, NodeId(0, 256)); }, bytes({0x01, 0x00, 0x00, 0x01}),
       again<NodeId>()},
      {"NodeId four-byte", [](Writer& w) { encode(w, NodeId(5, 1025)); }, bytes({0x01, 0x05, 0x01, 0x04}),
       again<NodeId>()},
      {"NodeId numeric past 65535", [](Writer& w) { encode(w, NodeId(5, 65536)); },
       bytes({0x02, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00}), again<NodeId>()},
      {"NodeId numeric past namespace 255", [](Writer& w) { encode(w, NodeId(256, 1)); },
       bytes({0x02, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00}), again<NodeId>()},
      {"NodeId string", [](Writer& w) { encode(w, NodeId::of_string(1, "Hot水")); },
       bytes({0x03, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 'H', 'o', 't', 0xE6, 0xB0, 0xB4}), again<NodeId>()},
      {"NodeId guid", [](Writer& w) { encode(w, guid_node()); },
       bytes({0x04, 0x01, 0x00, 0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A, 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D,
              0xAF, 0x63}),
       again<NodeId>()},
      {"NodeId opaque",
       [](Writer& w) {
         NodeId id;
         id.ns = 2;
         id.kind = NodeId::Kind::Opaque;
         id.text = bytes({1, 2});
         encode(w, id);
       },
       bytes({0x05, 0x02, 0x00, 0x02, 0, 0, 0, 1, 2}), again<NodeId>()},
      {"ExpandedNodeId with URI and server",
       [](Writer& w) { encode(w, ExpandedNodeId{NodeId(0, 1), std::string("u"), 2}); },
       bytes({0xC0, 0x01, 0x01, 0, 0, 0, 'u', 2, 0, 0, 0}), again<ExpandedNodeId>()},
      {"QualifiedName", [](Writer& w) { encode(w, QualifiedName{2, std::string("Ab")}); },
       bytes({2, 0, 2, 0, 0, 0, 'A', 'b'}), again<QualifiedName>()},
      {"LocalizedText text only", [](Writer& w) { encode(w, LocalizedText{std::nullopt, std::string("x")}); },
       bytes({0x02, 1, 0, 0, 0, 'x'}), again<LocalizedText>()},
      {"LocalizedText empty", [](Writer& w) { encode(w, LocalizedText{}); }, bytes({0x00}), again<LocalizedText>()},
      {"ExtensionObject with body", [](Writer& w) { encode(w, ExtensionObject{NodeId(0, 321), 1, "ab"}); },
       bytes({0x01, 0x00, 0x41, 0x01, 0x01, 2, 0, 0, 0, 'a', 'b'}), again<ExtensionObject>()},
      {"ExtensionObject empty", [](Writer& w) { encode(w, ExtensionObject{}); }, bytes({0x00, 0x00, 0x00}),
       again<ExtensionObject>()},
      {"DataValue value, status, both times",
       [](Writer& w) {
         DataValue v;
         v.has_value = true;
         v.value = UaVariant(BuiltinType::Boolean, true);
         v.status = 0x80340000;
         v.source_time = 1;
         v.server_time = 2;
         encode(w, v);
       },
       bytes({0x0F, 0x01, 0x01, 0x00, 0x00, 0x34, 0x80, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}),
       again<DataValue>()},
      {"DataValue empty", [](Writer& w) { encode(w, DataValue{}); }, bytes({0x00}), again<DataValue>()},
      {"DataValue string, source picoseconds",
       [](Writer& w) {
         DataValue v;
         v.has_value = true;
         v.value = UaVariant(BuiltinType::String, std::string("ab"));
         v.source_time = 1;
         v.source_picoseconds = 5;
         encode(w, v);
       },
       bytes({0x15, 0x0C, 2, 0, 0, 0, 'a', 'b', 1, 0, 0, 0, 0, 0, 0, 0, 5, 0}), again<DataValue>()},
      {"Variant Int32", [](Writer& w) { encode(w, UaVariant(BuiltinType::Int32, std::int64_t{-1})); },
       bytes({0x06, 0xFF, 0xFF, 0xFF, 0xFF}), again<UaVariant>()},
      {"Variant null", [](Writer& w) { encode(w, UaVariant()); }, bytes({0x00}), again<UaVariant>()},
      {"Variant empty array",
       [](Writer& w) {
         UaVariant v;
         v.type = BuiltinType::Double;
         v.is_array = true;
         encode(w, v);
       },
       bytes({0x8B, 0, 0, 0, 0}), again<UaVariant>()},
      {"Variant UInt16 array",
       [](Writer& w) {
         UaVariant v;
         v.type = BuiltinType::UInt16;
         v.is_array = true;
         v.values = {std::uint64_t{1}, std::uint64_t{2}};
         encode(w, v);
       },
       bytes({0x85, 2, 0, 0, 0, 1, 0, 2, 0}), again<UaVariant>()},
      {"Variant matrix 2x1",
       [](Writer& w) {
         UaVariant v;
         v.type = BuiltinType::Byte;
         v.is_array = true;
         v.values = {std::uint64_t{7}, std::uint64_t{8}};
         v.dimensions = {2, 1};
         encode(w, v);
       },
       bytes({0xC3, 2, 0, 0, 0, 7, 8, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}), again<UaVariant>()},
      {"Variant null string", [](Writer& w) { encode(w, UaVariant(BuiltinType::String, std::monostate{})); },
       bytes({0x0C, 0xFF, 0xFF, 0xFF, 0xFF}), again<UaVariant>()},
      {"DiagnosticInfo in field order",
       [](Writer& w) {
         DiagnosticInfo d;
         d.symbolic_id = 1;
         d.locale = 2;
         d.localized_text = 3;
         d.inner_status = 0x80000000;
         encode(w, d);
       },
       bytes({0x2D, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0x80}), again<DiagnosticInfo>()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    c.write(w);
    EXPECT_EQ(hex(w.data()), hex(c.expected));
    if (c.round_trip) {
      Reader r(c.expected);
      Writer again_w;
      c.round_trip(r, again_w);
      EXPECT_EQ(hex(again_w.data()), hex(c.expected));
      EXPECT_EQ(r.remaining(), 0u);
    }
    if (std::string_view(c.name).starts_with("DataValue")) {
      Reader skipped(c.expected);
      skip_data_value(skipped);
      EXPECT_EQ(skipped.remaining(), 0u);
    }
  }
}

TEST(UaEncoding, NullAndEmptyStringsStayApart) {
  const std::string data = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  Reader r(data);
  EXPECT_FALSE(r.string().has_value());
  auto empty = r.string();
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(*empty, "");
}

TEST(UaEncoding, MalformedInputIsRejectedCleanly) {
  Limits small;
  small.max_string = 16;
  small.max_array = 8;
  small.max_depth = 4;
  std::string deep;
  for (int i = 0; i < 6; ++i) deep += bytes({0x98, 1, 0, 0, 0});  // an array of one Variant, nested
  deep += bytes({0});
  const struct {
    const char* name;
    std::string data;
    std::function<void(Reader&)> read;
  } cases[] = {
      {"truncated UInt32", bytes({1, 2, 3}), [](Reader& r) { r.u32(); }},
      {"string longer than the message", bytes({5, 0, 0, 0, 'a'}), [](Reader& r) { r.string(); }},
      {"string past the limit", bytes({17, 0, 0, 0}) + std::string(17, 'a'), [](Reader& r) { r.string(); }},
      {"negative string length", bytes({0xFE, 0xFF, 0xFF, 0xFF}), [](Reader& r) { r.string(); }},
      {"array count beyond the message", bytes({0x86, 0xFF, 0xFF, 0xFF, 0x7F}),
       [](Reader& r) { decode_as<UaVariant>(r); }},
      {"array count past the limit", bytes({0x83, 9, 0, 0, 0}) + std::string(9, 'a'),
       [](Reader& r) { decode_as<UaVariant>(r); }},
      {"unknown NodeId encoding", bytes({0x06, 0, 0}), [](Reader& r) { decode_as<NodeId>(r); }},
      {"NodeId with expanded flags", bytes({0x80, 1}), [](Reader& r) { decode_as<NodeId>(r); }},
      {"unknown Variant type", bytes({26}), [](Reader& r) { decode_as<UaVariant>(r); }},
      {"scalar Variant of Variant", bytes({24, 0}), [](Reader& r) { decode_as<UaVariant>(r); }},
      {"dimensions that do not match", bytes({0xC3, 2, 0, 0, 0, 7, 8, 1, 0, 0, 0, 3, 0, 0, 0}),
       [](Reader& r) { decode_as<UaVariant>(r); }},
      {"dimensions whose product overflows", bytes({0xC3, 0, 0, 0, 0, 3, 0, 0, 0}) + std::string(12, '\x7F'),
       [](Reader& r) { decode_as<UaVariant>(r); }},
      {"unknown DataValue fields", bytes({0x40}), [](Reader& r) { decode_as<DataValue>(r); }},
      {"unknown DataValue fields, stepped over", bytes({0x40}), [](Reader& r) { skip_data_value(r); }},
      {"a DataValue's Int32 cut short, stepped over", bytes({0x01, 0x06, 1, 2}), [](Reader& r) { skip_data_value(r); }},
      {"a DataValue's time stamp cut short, stepped over", bytes({0x04, 1, 2}), [](Reader& r) { skip_data_value(r); }},
      {"unknown ExtensionObject encoding", bytes({0, 0, 3}), [](Reader& r) { decode_as<ExtensionObject>(r); }},
      {"nesting past the limit", deep, [](Reader& r) { decode_as<UaVariant>(r); }},
      {"unknown service type", bytes({1, 0, 0x39, 0x30}),
       [](Reader& r) { decode_any_response(std::string(r.bytes(r.remaining())), {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reader r(c.data, small);
    EXPECT_THROW(c.read(r), DecodeError);
  }
}

TEST(UaEncoding, NodeIdTextForms) {
  const struct {
    const char* text;
    const char* canonical;  // nullptr: refused
  } cases[] = {
      {"i=2258", "i=2258"},
      {"ns=0;i=85", "i=85"},
      {"ns=2;s=Tags.Sine", "ns=2;s=Tags.Sine"},
      {"ns=1;s=a;b=c", "ns=1;s=a;b=c"},
      {"ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63", "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63"},
      {"ns=1;b=AQID", "ns=1;b=AQID"},
      {"b=AQ==", "b=AQ=="},
      {"ns=65535;i=4294967295", "ns=65535;i=4294967295"},
      {"ns=65536;i=1", nullptr},
      {"i=4294967296", nullptr},
      {"i=-1", nullptr},
      {"i=", nullptr},
      {"s=", nullptr},
      {"x=1", nullptr},
      {"ns=1", nullptr},
      {"ns=a;i=1", nullptr},
      {"g=72962b91-fa75-4ae6-8d28", nullptr},
      {"b=A", nullptr},
      {"b=A=QI", nullptr},
      {"Simulation.Sine", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto id = parse_node_id(c.text);
    if (!c.canonical) {
      EXPECT_FALSE(id.has_value());
      continue;
    }
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(to_string(id->node), c.canonical);
  }
  auto by_uri = parse_node_id("nsu=urn:x:y;s=Tag");
  ASSERT_TRUE(by_uri.has_value());
  EXPECT_EQ(by_uri->namespace_uri.value_or(""), "urn:x:y");
  EXPECT_EQ(by_uri->node.text, "Tag");
}

}  // namespace
}  // namespace vexa32::opcua
