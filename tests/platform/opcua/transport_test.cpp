// Chunks both ways, the checks on what arrives, and how UA values and qualities look to DA.

#include "platform/opcua/transport.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/automation/convert.h"
#include "platform/automation/date.h"
#include "platform/opcua/client.h"
#include "platform/opcua/da/values.h"

namespace vexa32::opcua {
namespace {

BufferLimits limits(std::uint32_t buffer, std::uint32_t max_message = 0, std::uint32_t max_chunks = 0) {
  return {buffer, buffer, max_message, max_chunks};
}

std::vector<std::string> chunks_of(const std::string& body, std::uint32_t& sequence, std::uint32_t request = 7,
                                   std::uint32_t buffer = 8192) {
  return split_message("MSG", 5, 1, request, sequence, body, limits(buffer));
}

TEST(UaTransport, MessagesSplitIntoChunksAndAssembleAgain) {
  for (std::size_t size : {0u, 1u, 8168u, 8169u, 100000u}) {
    SCOPED_TRACE(size);
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 7);
    std::uint32_t sequence = 0;
    auto chunks = chunks_of(body, sequence);
    EXPECT_EQ(chunks.size(), size <= 8168 ? 1u : (size + 8167) / 8168);
    MessageAssembler assembler(limits(8192));
    assembler.set_channel(5);
    assembler.expect(7);
    std::optional<Message> m;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_LE(chunks[i].size(), 8192u);
      m = assembler.feed(chunks[i]);
      EXPECT_EQ(m.has_value(), i + 1 == chunks.size());
    }
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->request_id, 7u);
    EXPECT_EQ(m->body, body);
    EXPECT_EQ(assembler.partial_count(), 0u);
  }
}

TEST(UaTransport, ChunksThatBreakTheProtocolAreFaults) {
  std::uint32_t seq = 0;
  auto two = chunks_of(std::string(9000, 'x'), seq);
  std::uint32_t seq2 = 0;
  auto other_channel = split_message("MSG", 6, 1, 7, seq2, "x", limits(8192));
  std::string bad_size = two[1];
  bad_size[4] = 9;
  std::string hello = encode_hello(limits(8192), "opc.tcp://x");
  std::uint32_t s1 = 0, s3 = 2;
  std::vector<std::string> skipping{chunks_of("a", s1)[0], chunks_of("b", s3)[0]};
  // Unfinished answers ('C' chunks) of the given sizes under the given request ids, in sequence.
  auto unfinished = [](std::vector<std::pair<std::uint32_t, std::size_t>> parts) {
    std::uint32_t sequence = 0;
    std::vector<std::string> out;
    for (auto [request, size] : parts) {
      out.push_back(chunks_of(std::string(size, 'u'), sequence, request, 65536)[0]);
      out.back()[3] = 'C';
    }
    return out;
  };
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    BufferLimits receive;
    StatusCode code;
  } cases[] = {
      {"sequence skips", skipping, limits(8192), status::BadSequenceNumberInvalid},
      {"sequence repeats", {two[0], two[0]}, limits(8192), status::BadSequenceNumberInvalid},
      {"other channel", {other_channel[0]}, limits(8192), status::BadTcpSecureChannelUnknown},
      {"size differs from header", {bad_size}, limits(8192), status::BadTcpInternalError},
      {"larger than the buffer", {two[0]}, limits(4096), status::BadTcpMessageTooLarge},
      {"more than the message limit", {two[0], two[1]}, limits(8192, 8500), status::BadResponseTooLarge},
      {"more chunks than allowed", {two[0], two[1]}, limits(8192, 0, 1), status::BadResponseTooLarge},
      {"not a channel message", {hello}, limits(8192), status::BadTcpInternalError},
      {"an answer to no request", unfinished({{99, 10}}), limits(8192), status::BadUnexpectedError},
      {"answers each within the limit, together above it", unfinished({{8, 9000}, {9, 9000}, {10, 9000}}),
       limits(65536, 20000), status::BadTcpMessageTooLarge},
      {"one answer at the limit, then a second", unfinished({{7, 10000}, {7, 10000}, {8, 1}}), limits(65536, 20000),
       status::BadTcpMessageTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAssembler assembler(c.receive);
    assembler.set_channel(5);
    for (std::uint32_t id = 7; id <= 10; ++id) assembler.expect(id);
    try {
      for (const auto& chunk : c.chunks) assembler.feed(chunk);
      ADD_FAILURE() << "no fault";
    } catch (const TransportFault& f) {
      EXPECT_EQ(status::describe(f.code()), status::describe(c.code));
    }
  }
}

TEST(UaTransport, AnAbortChunkEndsItsAnswerWithTheServersReason) {
  std::uint32_t seq = 0;
  auto chunks = chunks_of(std::string(9000, 'x'), seq);
  MessageAssembler assembler(limits(8192));
  assembler.expect(7);
  EXPECT_FALSE(assembler.feed(chunks[0]).has_value());
  Writer reason;
  reason.u32(status::BadResponseTooLarge);
  reason.string("too big");
  std::uint32_t abort_seq = 1;  // the chunk after the first
  auto abort = split_message("MSG", 5, 1, 7, abort_seq, reason.data(), limits(8192))[0];
  abort[3] = 'A';
  auto m = assembler.feed(abort);
  ASSERT_TRUE(m.has_value());
  EXPECT_TRUE(m->aborted);
  EXPECT_EQ(m->abort_status, status::BadResponseTooLarge);
  EXPECT_EQ(m->abort_reason, "too big");
  EXPECT_EQ(assembler.partial_count(), 0u);
}

// Sequence numbers wrap only past 4 294 966 271, and then below 1024: what we send next, and
// what we take from the server.
TEST(UaTransport, SequenceNumbersWrapOnlyPastTheWrapPoint) {
  const struct {
    std::uint32_t last, next;
    bool accepted;  // from the server
    bool ours;      // next_sequence(last) == next
  } steps[] = {
      {5, 6, true, true},
      {5, 7, false, false},
      {4294966271u, 4294966272u, true, true},
      {4294966271u, 1, false, false},
      {4294966271u, 5, false, false},
      {4294966272u, 1, true, true},
      {4294966272u, 1023, true, false},
      {4294966272u, 1024, false, false},
      {0xFFFFFFFFu, 0, true, false},
      {0xFFFFFFFFu, 1, true, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::to_string(step.last) + " -> " + std::to_string(step.next));
    EXPECT_EQ(sequence_follows(step.last, step.next), step.accepted);
    EXPECT_EQ(next_sequence(step.last) == step.next, step.ours);
  }
  // The assembler follows a server that starts high across its wrap.
  MessageAssembler assembler(limits(8192));
  assembler.set_channel(5);
  for (std::uint32_t id = 1; id <= 3; ++id) assembler.expect(id);
  std::uint32_t sequence = 4294966270u;
  for (std::uint32_t id = 1; id <= 3; ++id) EXPECT_TRUE(assembler.feed(chunks_of("x", sequence, id)[0])) << sequence;
  EXPECT_EQ(sequence, 1u);
}

TEST(UaTransport, RequestsBeyondTheServersLimitsAreRefusedBeforeSending) {
  std::uint32_t seq = 0;
  EXPECT_THROW(split_message("MSG", 1, 1, 1, seq, std::string(20000, 'x'), limits(8192, 10000)), TransportFault);
  EXPECT_THROW(split_message("MSG", 1, 1, 1, seq, std::string(20000, 'x'), limits(8192, 0, 2)), TransportFault);
  EXPECT_EQ(seq, 0u);
  Writer small_ack;
  for (std::uint32_t v : {0u, 4096u, 4096u, 0u, 0u}) small_ack.u32(v);
  EXPECT_THROW(negotiate(limits(65536), small_ack.data()), TransportFault);
}

TEST(UaValues, StatusCodesMapToDaQualities) {
  const std::pair<StatusCode, std::int32_t> table[] = {
      {0x00000000, 0xC0},
      {0x00960000, 0xD8},
      {0x40000000, 0x40},
      {0x40900000, 0x44},
      {0x40930000, 0x50},
      {0x40940000, 0x54},
      {0x40950000, 0x58},
      {0x80000000, 0x00},
      {0x80890000, 0x04},
      {0x808A0000, 0x08},
      {0x808B0000, 0x0C},
      {0x808C0000, 0x10},
      {0x80310000, 0x18},
      {0x80050000, 0x18},
      {0x808D0000, 0x1C},
      {0x80320000, 0x20},
      {0x80340000, 0x00},
      {0x40A40000, 0x40},
      {0x002D0000, 0xC0},
      // limit bits: low 1, high 2, constant 3
      {0x00000100, 0xC1},
      {0x40900200, 0x46},
      {0x808C0300, 0x13},
  };
  for (auto [code, quality] : table) {
    SCOPED_TRACE(status::describe(code));
    EXPECT_EQ(quality_of(code), quality);
  }
}

TEST(UaValues, DateTimeIsDateInUtc) {
  EXPECT_EQ(to_date(0), 0.0);
  // 1899-12-30 is 109205 days after 1601-01-01; 2024-01-02 03:04:05 UTC
  EXPECT_DOUBLE_EQ(to_date(109205LL * 864000000000LL), 0.0);
  DateTime t = 133486382450000000LL;
  EXPECT_NEAR(to_date(t), 45293.127835648, 1e-8);
  // 1601-01-01 00:00 is DATE -109205; a date before 1899 counts its fraction forward (-1.25 is 29 Dec 06:00).
  EXPECT_EQ(to_date(1), -109205.0);
  EXPECT_EQ(from_date(-1.25), 109204LL * 864000000000LL + 6LL * 36000000000LL);
  EXPECT_EQ(to_date(109204LL * 864000000000LL + 6LL * 36000000000LL), -1.25);
  EXPECT_EQ(from_date(std::nan("")), 0);
  EXPECT_EQ(from_date(1e300), INT64_MAX);
  // Written as the user gave it: whole seconds reach the server exactly.
  EXPECT_EQ(from_date(*parse_date("2027-01-02 03:04:05")), 134433326450000000LL);
}

TEST(UaValues, DatesFrom1900To2100GoBothWaysExactly) {
  using namespace std::chrono;
  struct Case {
    year_month_day day;
    std::int64_t micros_of_day;
  };
  const Case cases[] = {
      {1900y / 1 / 1, 0},                   {1900y / 3 / 1, 43'200'000'000},    {1969y / 12 / 31, 86'399'999'000},
      {2000y / 2 / 29, 1'234'000},          {2024y / 1 / 2, 11'045'123'456},   {2027y / 1 / 2, 11'045'000'000},
      {2038y / 1 / 19, 11'647'999'999},     {2079y / 6 / 4, 86'399'999'999},   {2099y / 12 / 31, 86'399'999'000},
      {2100y / 12 / 31, 86'399'001'000},
  };
  const sys_days epoch_1601 = 1601y / 1 / 1, epoch_1899 = 1899y / 12 / 30;
  for (const Case& c : cases) {
    const auto day = sys_days(c.day);
    const DateTime ticks = ((day - epoch_1601).count() * 86'400'000'000LL + c.micros_of_day) * 10;
    const long double exact = static_cast<long double>((day - epoch_1899).count()) +
                              static_cast<long double>(c.micros_of_day) / 86'400'000'000.0L;
    SCOPED_TRACE(static_cast<int>(c.day.year()));
    EXPECT_EQ(to_date(ticks), static_cast<double>(exact));  // the nearest DATE
    EXPECT_EQ(from_date(to_date(ticks)), ticks);             // and back to the tick
    EXPECT_EQ(to_date(ticks + 4), to_date(ticks));           // below a microsecond rounds
  }
}

TEST(UaValues, ValuesMapBothWays) {
  auto scalar = [](BuiltinType t, Scalar s) { return *to_automation(UaVariant(t, std::move(s))); };
  EXPECT_EQ(scalar(BuiltinType::SByte, std::int64_t{-5}).vt(), VT_I1);
  EXPECT_EQ(scalar(BuiltinType::UInt64, std::uint64_t{1} << 40).vt(), VT_UI8);
  EXPECT_EQ(scalar(BuiltinType::LocalizedText, LocalizedText{std::string("en"), std::string("t")}), Variant("t"));
  EXPECT_EQ(scalar(BuiltinType::String, std::monostate{}), Variant(""));
  UaVariant array;
  array.type = BuiltinType::Int16;
  array.is_array = true;
  array.values = {std::int64_t{1}, std::int64_t{2}};
  Variant a = *to_automation(array);
  EXPECT_EQ(a.vt(), VT_ARRAY | VT_I2);
  EXPECT_EQ(a.array().lower_bound(), 1);
  array.dimensions = {1, 2};
  EXPECT_FALSE(to_automation(array).has_value());
  EXPECT_FALSE(to_automation(UaVariant(BuiltinType::ExtensionObject, ExtensionObject{})).has_value());

  // Writes take the node's type by the automation rules.
  auto written = from_automation(Variant(42.0), BuiltinType::Int32, false);
  EXPECT_EQ(std::get<std::int64_t>(written.values.front()), 42);
  auto rounded = from_automation(Variant("2.5"), BuiltinType::Byte, false);
  EXPECT_EQ(std::get<std::uint64_t>(rounded.values.front()), 2u);
  try {
    from_automation(Variant("abc"), BuiltinType::Double, false);
    ADD_FAILURE() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::DISP_E_TYPEMISMATCH);
  }
  EXPECT_THROW(from_automation(Variant(300), BuiltinType::Byte, false), AutomationError);
  EXPECT_THROW(from_automation(Variant(1), BuiltinType::Int32, true), AutomationError);
  EXPECT_EQ(canonical_type(NodeId(0, 6), 1), VT_ARRAY | VT_I4);
  EXPECT_EQ(canonical_type(NodeId(0, 290), -1), VT_R8);
  EXPECT_EQ(canonical_type(NodeId(0, 24), -1), VT_VARIANT);
}

}  // namespace
}  // namespace vexa32::opcua

namespace vexa32::opcua {
namespace {

TEST(UaSession, OnlyAnAnonymousEndpointWithoutSecurityIsChosen) {
  auto endpoint = [](const char* policy, std::int32_t mode, std::int32_t token) {
    EndpointDescription e;
    e.security_policy_uri = std::string("http://opcfoundation.org/UA/SecurityPolicy#") + policy;
    e.security_mode = mode;
    e.user_identity_tokens.push_back({std::string("token-") + policy, token, {}, {}, {}});
    return e;
  };
  std::vector<EndpointDescription> offers{endpoint("Basic256Sha256", 3, 0), endpoint("None", 1, 1),
                                          endpoint("None", 1, 0)};
  EXPECT_EQ(choose_anonymous_none(offers, "opc.tcp://x")->policy_id, "token-None");
  offers.pop_back();
  try {
    choose_anonymous_none(offers, "opc.tcp://x");
    ADD_FAILURE() << "no error";
  } catch (const UaError& e) {
    EXPECT_EQ(std::string(e.what()),
              "opc.tcp://x offers no endpoint with SecurityPolicy None and anonymous login; it offers "
              "Basic256Sha256/SignAndEncrypt, None/None");
  }
  EXPECT_THROW(choose_anonymous_none({}, "opc.tcp://x"), UaError);
}

TEST(UaSession, EndpointUrlsNameHostAndPort) {
  const struct {
    const char* url;
    const char* host;  // nullptr: refused
    const char* port;
  } table[] = {
      {"opc.tcp://plc:4841/path", "plc", "4841"}, {"OPC.TCP://plc", "plc", "4840"},
      {"opc.tcp://[::1]:4840", "::1", "4840"},    {"opc.tcp://h:0", nullptr, nullptr},
      {"opc.tcp://h:65536", nullptr, nullptr},    {"opc.tcp://:4840", nullptr, nullptr},
      {"http://h:80", nullptr, nullptr},          {"opc.tcp://h:4x", nullptr, nullptr},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.url);
    auto a = parse_endpoint_url(row.url);
    ASSERT_EQ(a.has_value(), row.host != nullptr);
    if (a) {
      EXPECT_EQ(a->host, row.host);
      EXPECT_EQ(a->port, row.port);
    }
  }
}

}  // namespace
}  // namespace vexa32::opcua
