// NDR, ORPC and OLE Automation codecs against bytes from an independent encoder: every expected hex
// string below is what impacket's NDR engine (python3-impacket 0.10) produces for the same
// structure. Where impacket's own type definitions stray from the IDL (the SAFEARRAY arms and
// VARIANT's parray, which Windows sends behind pointers), the types were declared after the IDL
// and still encoded by impacket. impacket fills alignment gaps with 0xab, 0xbf, 0xdd or 0xee
// where we write zeros; the values chosen keep those bytes out of the data.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "hex.h"
#include "platform/dcom/da/opc_types.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/oaut.h"
#include "platform/dcom/orpc.h"

namespace vexa32::dcom {
namespace {

const auto& unhex = testing::from_hex;
const auto& tohex = testing::hex;

// Our bytes equal impacket's, but for its padding fill where we write zeros.
::testing::AssertionResult same_wire(const std::string& ours, std::string_view expected_hex) {
  const std::string expected = unhex(expected_hex);
  bool same = ours.size() == expected.size();
  for (std::size_t i = 0; same && i < ours.size(); ++i) {
    const auto e = static_cast<unsigned char>(expected[i]);
    const bool pad = ours[i] == 0 && (e == 0xab || e == 0xbf || e == 0xdd || e == 0xee);
    same = ours[i] == expected[i] || pad;
  }
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\n   ours " << tohex(ours) << "\nimpacket " << expected_hex;
}

Variant array_of(VarType type, std::int32_t lower_bound, std::vector<Variant> values) {
  SafeArray a(type, lower_bound, 0);
  a.raw_elements() = std::move(values);
  return Variant(std::move(a));
}

struct VariantCase {
  const char* name;
  Variant value;
  const char* hex;  // a VARIANT parameter: pointer, padding to 8, wireVARIANT
  bool encode = true;
};

TEST(NdrVariant, MatchesImpacketBothWays) {
  const VariantCase cases[] = {
      {"EMPTY", Variant(), "00000200abababab0300000000000000000000000000000000000000"},
      {"NULL", Variant::null(), "00000200abababab0300000000000000010000000000000001000000"},
      {"I1", Variant(std::int8_t{-5}), "00000200abababab0300000000000000100000000000000010000000fb"},
      {"UI1", Variant(std::uint8_t{200}), "00000200abababab0300000000000000110000000000000011000000c8"},
      {"I2", Variant(std::int16_t{-2}), "00000200abababab0300000000000000020000000000000002000000feff"},
      {"UI2", Variant(std::uint16_t{60000}), "00000200abababab030000000000000012000000000000001200000060ea"},
      {"BOOL", Variant(true), "00000200abababab03000000000000000b000000000000000b000000ffff"},
      {"I4", Variant(std::int32_t{0x12345678}), "00000200abababab030000000000000003000000000000000300000078563412"},
      {"UI4", Variant(std::uint32_t{4000000000u}), "00000200abababab030000000000000013000000000000001300000000286bee"},
      // VT_INT has no Variant type of its own: it is taken as I4.
      {"INT", Variant(std::int32_t{-7}), "00000200abababab0300000000000000160000000000000016000000f9ffffff", false},
      {"ERROR", Variant::missing(), "00000200abababab03000000000000000a000000000000000a00000004000280"},
      {"R4", Variant(1.5f), "00000200abababab03000000000000000400000000000000040000000000c03f"},
      {"I8", Variant(-(1LL << 40)), "00000200abababab0400000000000000140000000000000014000000bfbfbfbf0000000000ffffff"},
      {"UI8", Variant((1ULL << 63) + 1),
       "00000200abababab0400000000000000150000000000000015000000bfbfbfbf0100000000000080"},
      {"R8", Variant(-2.25), "00000200abababab0400000000000000050000000000000005000000bfbfbfbf00000000000002c0"},
      {"DATE", Variant::date(45000.5),
       "00000200abababab0400000000000000070000000000000007000000bfbfbfbf0000000010f9e540"},
      {"BSTR", Variant("Grüße 𝄞"),
       "00000200abababab07000000000000000800000000000000080000000400020008000000100000000800000047007200fc00df00650020"
       "0034d81edd"},
      {"BSTR empty", Variant(""),
       "00000200abababab050000000000000008000000000000000800000004000200000000000000000000000000"},
      {"ARRAY I2 lower bound 5",
       array_of(VT_I2, 5, {Variant(std::int16_t{1}), Variant(std::int16_t{-2}), Variant(std::int16_t{3})}),
       "00000200abababab0a0000000000000002200000000000000020000004000200080002000100000001008000020000000000020002000"
       "000030000000c0002000300000005000000030000000100feff0300"},
      {"ARRAY R8", array_of(VT_R8, 0, {Variant(0.5)}),
       "00000200abababab0a0000000000000005200000000000000020000004000200080002000100000001008000080000000000050014000"
       "000010000000c000200010000000000000001000000dddddddd000000000000e03f"},
      {"ARRAY VARIANT", array_of(VT_VARIANT, 1, {Variant(std::int32_t{7}), Variant("q"), Variant()}),
       "00000200abababab15000000000000000c2000000000000000200000040002000800020001000000010080081000000000000c000c000"
       "000030000000c00020003000000010000000300000010000200140002001800020003000000000000000300000000000000030000000"
       "700000005000000000000000800000000000000080000001c0002000100000002000000010000007100abab0300000000000000000000"
       "000000000000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.encode) {
      NdrWriter w;
      write_variant(w, c.value);
      EXPECT_TRUE(same_wire(w.data(), c.hex));
    }
    const std::string bytes = unhex(c.hex);
    NdrReader r(bytes);
    EXPECT_EQ(read_variant(r), c.value);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(NdrSafeArray, MatchesImpacketBothWays) {
  const struct {
    const char* name;
    Variant value;
    const char* hex;  // an LPSAFEARRAY parameter
  } cases[] = {
      {"UI1", array_of(VT_UI1, 0, {Variant(std::uint8_t{1}), Variant(std::uint8_t{2}), Variant(std::uint8_t{3})}),
       "0000020001000000010080000100000000001100100000000300000004000200030000000000000003000000010203"},
      {"BOOL", array_of(VT_BOOL, 0, {Variant(true), Variant(false)}),
       "0000020001000000010080000200000000000b00020000000200000004000200020000000000000002000000ffff0000"},
      {"R8 lower bound -1", array_of(VT_R8, -1, {Variant(1.5), Variant(-2.0)}),
       "000002000100000001008000080000000000050014000000020000000400020002000000ffffffff02000000dddddddd000000000000"
       "f83f00000000000000c0"},
      {"UI4", array_of(VT_UI4, 1, {Variant(std::uint32_t{4000000000u})}),
       "000002000100000001008000040000000000130003000000010000000400020001000000010000000100000000286bee"},
      {"BSTR", array_of(VT_BSTR, 1, {Variant("a"), Variant("xyz")}),
       "0000020001000000010080010400000000000800080000000200000004000200020000000100000002000000080002000c0002000100"
       "000002000000010000006100eeee030000000600000003000000780079007a00"},
      {"VARIANT", array_of(VT_VARIANT, 0, {Variant(std::int16_t{9}), Variant("hi")}),
       "0000020001000000010080081000000000000c000c0000000200000004000200020000000000000002000000080002000c000200abab"
       "abab03000000000000000200000000000000020000000900abab0500000000000000080000000000000008000000100002000200000004"
       "0000000200000068006900"},
      {"empty I4", array_of(VT_I4, 0, {}),
       "0000020001000000010080000400000000000300030000000000000004000200000000000000000000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NdrWriter w;
    write_safearray(w, c.value.array());
    EXPECT_TRUE(same_wire(w.data(), c.hex));
    const std::string bytes = unhex(c.hex);
    NdrReader r(bytes);
    EXPECT_EQ(read_safearray(r, c.value.array().element_type()), c.value);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

constexpr const char* kDsaHex =
    "1f0000001f001700070068006f00730074005b0031003200330034005d0000000700310030002e0030002e0030002e0031000000000"
    "00a00ffff00000900ffff610000000000";
constexpr const char* kOrpcThatExtHex =
    "010000000000020001000000000000000400020002000000080002000000000008000000f4f3f2f10201040305060708090a0b0c050000"
    "0068656c6c6f000000";
constexpr const char* kObjrefStdHex =
    "4d454f57010000003101000000000000c000000000000046001000000500000008070605040302011817161514131211015c00003c0a"
    "0000123456789abcdef01f001700070068006f00730074005b0031003200330034005d0000000700310030002e0030002e0030002e00"
    "3100000000000a00ffff00000900ffff610000000000";

DualStringArray sample_bindings() {
  return {{{kTowerTcp, "host[1234]"}, {kTowerTcp, "10.0.0.1"}}, {{10, 0xFFFF, ""}, {9, 0xFFFF, "a"}}};
}

ObjRef sample_objref() {
  ObjRef o;
  o.kind = OBJREF_STANDARD;
  o.iid = guid("00000131-0000-0000-C000-000000000046");
  o.std = {SORF_NOPING, 5, 0x0102030405060708, 0x1112131415161718, guid("00005C01-0A3C-0000-1234-56789ABCDEF0")};
  o.resolver = sample_bindings();
  return o;
}

TEST(NdrOrpc, MatchesImpacketBothWays) {
  OrpcThis this_;
  this_.cid = guid("11223344-5566-7788-99AA-BBCCDDEEFF00");
  OrpcThat that_ext;
  that_ext.flags = 1;
  that_ext.extensions = {{guid("F1F2F3F4-0102-0304-0506-0708090A0B0C"), "hello"}};
  ObjRef custom;
  custom.kind = OBJREF_CUSTOM;
  custom.iid = guid("000001A2-0000-0000-C000-000000000046");
  custom.clsid = guid("00000338-0000-0000-C000-000000000046");
  custom.reserved = 12;
  custom.object_data = unhex("01020304626c6f62");

  const struct {
    const char* name;
    std::function<void(NdrWriter&)> write;
    std::function<bool(NdrReader&)> read_back;
    std::string hex;
  } cases[] = {
      {"ORPCTHIS", [&](NdrWriter& w) { write_orpcthis(w, this_); },
       [&](NdrReader& r) { return read_orpcthis(r) == this_; },
       "050007000000000000000000443322116655887799aabbccddeeff0000000000"},
      {"ORPCTHAT", [](NdrWriter& w) { write_orpcthat(w, {}); },
       [](NdrReader& r) { return read_orpcthat(r) == OrpcThat{}; }, "0000000000000000"},
      {"ORPCTHAT with an extent", [&](NdrWriter& w) { write_orpcthat(w, that_ext); },
       [&](NdrReader& r) { return read_orpcthat(r) == that_ext; }, kOrpcThatExtHex},
      {"DUALSTRINGARRAY", [](NdrWriter& w) { write_dual_string_array(w, sample_bindings()); },
       [](NdrReader& r) { return read_dual_string_array(r) == sample_bindings(); }, kDsaHex},
      {"DUALSTRINGARRAY empty", [](NdrWriter& w) { write_dual_string_array(w, {}); },
       [](NdrReader& r) { return read_dual_string_array(r) == DualStringArray{}; }, "04000000040002000000000000000000"},
      {"MInterfacePointer", [](NdrWriter& w) { write_interface_pointer(w, sample_objref()); },
       [](NdrReader& r) { return read_interface_pointer(r) == sample_objref(); },
       std::string("8200000082000000") + kObjrefStdHex},
      {"wide string", [](NdrWriter& w) { w.wide_string("é€"); }, [](NdrReader& r) { return r.wide_string() == "é€"; },
       "030000000000000003000000e900ac200000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NdrWriter w;
    c.write(w);
    EXPECT_TRUE(same_wire(w.data(), c.hex));
    const std::string bytes = unhex(c.hex);
    NdrReader r(bytes);
    EXPECT_TRUE(c.read_back(r));
    EXPECT_EQ(r.remaining(), 0u);
  }
  const std::string custom_hex =
      "4d454f5704000000a201000000000000c0000000000000463803000000000000c000000000000046000000000c00000001020304626c6f"
      "62";
  EXPECT_TRUE(same_wire(encode_objref(custom), custom_hex));
  EXPECT_EQ(decode_objref(unhex(custom_hex)), custom);
  EXPECT_TRUE(same_wire(encode_objref(sample_objref()), kObjrefStdHex));
}

// Valid encodings from the tables above, to break one field at a time.
constexpr const char* kVariantI4 = "00000200abababab030000000000000003000000000000000300000078563412";
constexpr const char* kSafeArrayUI1 =
    "0000020001000000010080000100000000001100100000000300000004000200030000000000000003000000010203";
constexpr const char* kSafeArrayBstr =
    "0000020001000000010080010400000000000800080000000200000004000200020000000100000002000000080002000c0002000100"
    "000002000000010000006100eeee030000000600000003000000780079007a00";

// hex with the bytes at a byte offset replaced.
std::string patched(std::string hex, std::size_t offset, std::string_view bytes) {
  return hex.replace(2 * offset, bytes.size(), bytes);
}

template <class F>
std::function<void()> decoding(std::string hex, F f) {
  return [hex, f] {
    const std::string bytes = unhex(hex);
    NdrReader r(bytes);
    f(r);
  };
}

TEST(NdrMalformed, RefusedWithNdrError) {
  const auto variant = [](NdrReader& r) { read_variant(r); };
  const auto ui1_array = [](NdrReader& r) { read_safearray(r, VT_UI1); };
  const auto vt_and_switch = [](const char* vt, const char* discriminant) {
    return patched(patched(kVariantI4, 16, vt), 24, discriminant);
  };
  const struct {
    const char* name;
    std::function<void()> decode;
    const char* says;
  } cases[] = {
      {"BSTR of 2^31 characters", decoding("000000800000000100000080", read_bstr_blob), "does not fit"},
      {"SAFEARRAY of 2^31 elements",
       decoding(patched(patched(patched(kSafeArrayUI1, 24, "00000080"), 32, "00000080"), 40, "00000080"), ui1_array),
       "does not fit"},
      {"SAFEARRAY data count unlike its size", decoding(patched(kSafeArrayUI1, 40, "02000000"), ui1_array),
       "data of 2"},
      {"SAFEARRAY of two dimensions", decoding(patched(patched(kSafeArrayUI1, 4, "02000000"), 8, "0200"), ui1_array),
       "dimensions"},
      {"SAFEARRAY arm unlike the type", decoding(kSafeArrayUI1, [](NdrReader& r) { read_safearray(r, VT_I2); }),
       "sfType"},
      {"SAFEARRAY upper bound past 2^31", decoding(patched(kSafeArrayUI1, 36, "ffffff7f"), ui1_array), "upper bound"},
      {"null reference pointer to BSTRs",
       decoding(patched(kSafeArrayBstr, 28, "00000000"), [](NdrReader& r) { read_safearray(r, VT_BSTR); }),
       "without data"},
      {"BSTR max count unlike its length", decoding("020000000400000001000000610062000000", read_bstr_blob),
       "max count"},
      {"BSTR of an odd byte count", decoding("0200000003000000020000006100620000", read_bstr_blob), "odd"},
      {"string with actual above max",
       decoding("01000000000000000200000061000000", [](NdrReader& r) { r.wide_string(); }), "exceed"},
      {"string with offset + actual above max",
       decoding("02000000010000000200000061000000", [](NdrReader& r) { r.wide_string(); }), "exceed"},
      {"string without terminator",
       decoding("020000000000000002000000610062000000", [](NdrReader& r) { r.wide_string(); }), "terminating NUL"},
      {"string with an unpaired surrogate",
       decoding("02000000000000000200000000d80000", [](NdrReader& r) { r.wide_string(); }), "surrogate"},
      {"VT_CY", decoding(vt_and_switch("0600", "06000000"), variant), "VT_CY"},
      {"VT_DECIMAL", decoding(vt_and_switch("0e00", "0e000000"), variant), "VT_DECIMAL"},
      {"VT_BYREF|VT_I4", decoding(vt_and_switch("0340", "03400000"), variant), "VT_BYREF|VT_I4"},
      {"unknown vt", decoding(vt_and_switch("ff00", "ff000000"), variant), "VT_0x00FF"},
      {"discriminant unlike vt", decoding(vt_and_switch("0300", "02000000"), variant), "discriminant"},
      {"array discriminant with the element type", decoding(vt_and_switch("0320", "03200000"), variant),
       "discriminant"},
      {"VARIANT of an object", decoding(patched(vt_and_switch("0900", "09000000"), 28, "04000200"), variant),
       "VT_DISPATCH"},
      {"DUALSTRINGARRAY max count unlike its entries",
       decoding(patched(kDsaHex, 0, "1e000000"), read_dual_string_array), "max count"},
      {"DUALSTRINGARRAY security offset beyond its entries",
       decoding(patched(kDsaHex, 6, "2000"), read_dual_string_array), "beyond"},
      {"string binding cut by the security offset", decoding(patched(kDsaHex, 6, "0300"), read_dual_string_array),
       "terminating NUL"},
      {"OBJREF with another signature", [] { decode_objref(unhex(patched(kObjrefStdHex, 0, "4d454f58"))); },
       "signature"},
      {"extended OBJREF", [] { decode_objref(unhex(patched(kObjrefStdHex, 4, "08000000"))); }, "extended"},
      {"OBJREF cut inside its bindings", [] { decode_objref(unhex(std::string(kObjrefStdHex).substr(0, 160))); },
       "does not fit"},
      {"MInterfacePointer count unlike max", decoding("08000000040000004d454f5701000000", read_interface_pointer),
       "max count"},
      {"extent pointers for another count", decoding(patched(kOrpcThatExtHex, 20, "04000000"), read_orpcthat),
       "pointers"},
      {"ORPCTHIS cut short", decoding("0500070000000000000000004433221166558877", read_orpcthis), "ends"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.decode();
      ADD_FAILURE() << "accepted";
    } catch (const NdrError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_EQ(e.hresult(), status::RPC_X_BAD_STUB_DATA);
    }
  }
}

TEST(NdrLimits, ElementLimitAndNestingAreEnforced) {
  NdrWriter w;
  write_variant(w, array_of(VT_I2, 0, std::vector<Variant>(11, Variant(std::int16_t{1}))));
  NdrReader small(w.data(), NdrLimits{.max_elements = 10});
  EXPECT_THROW(read_variant(small), NdrError);

  Variant nested(std::int32_t{1});
  for (int i = 0; i < 20; ++i) nested = array_of(VT_VARIANT, 0, {nested});
  NdrWriter deep;
  write_variant(deep, nested);
  NdrReader r(deep.data());
  EXPECT_THROW(read_variant(r), NdrError);
  NdrReader lenient(deep.data(), NdrLimits{.max_depth = 64});
  EXPECT_EQ(read_variant(lenient), nested);
}

TEST(NdrVariant, ThousandElementArrayRoundTrips) {
  std::vector<Variant> values;
  for (int i = 0; i < 1000; ++i) {
    switch (i % 5) {
      case 0: values.emplace_back(std::int32_t{i}); break;
      case 1: values.emplace_back("item " + std::to_string(i)); break;
      case 2: values.emplace_back(i * 0.25); break;
      case 3: values.push_back(Variant::date(45000 + i)); break;
      default: values.push_back(array_of(VT_BOOL, i, {Variant(true), Variant(false)})); break;
    }
  }
  const Variant array = array_of(VT_VARIANT, 1, values);
  NdrWriter w;
  write_variant(w, array);
  NdrReader r(w.data());
  EXPECT_EQ(read_variant(r), array);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(NdrPointers, FullPointersShareOneReferent) {
  NdrWriter w;
  int a = 0, b = 0;
  bool first[4];
  w.full(&a, &first[0]);
  w.full(&b, &first[1]);
  w.full(&a, &first[2]);
  w.full(nullptr, &first[3]);
  // Written by hand (no structure of impacket's uses full pointers): the third repeats the first id.
  EXPECT_TRUE(same_wire(w.data(), "00000200040002000000020000000000"));
  EXPECT_TRUE(first[0] && first[1] && !first[2] && !first[3]);
  NdrReader r(w.data());
  EXPECT_TRUE(r.full().first);
  EXPECT_TRUE(r.full().first);
  EXPECT_FALSE(r.full().first);
  EXPECT_EQ(r.full().id, 0u);
}

TEST(NdrWriter, RefusesWhatTheWireCannotCarry) {
  NdrWriter w;
  EXPECT_THROW(w.wide_string(std::string("a\0b", 3)), DcomError);
  EXPECT_THROW(w.wide_string("\xff"), DcomError);
  EXPECT_THROW(write_variant(w, Variant("\xc3")), DcomError);
}

}  // namespace
}  // namespace vexa32::dcom

namespace vexa32::dcom::da {
namespace {

// IOPCSyncIO::Read's answer after ORPCTHAT, as impacket encodes it (states 100: 2.5, good; 101:
// "ab", comm failure; errors S_OK and 0x00040007; result S_FALSE).
constexpr const char* kReadAnswer =
    "c5cb00000200000064000000443322110000d901c00000008bc0000065000000443322110100d90118000000ff17000005000000000000"
    "00050000000000000005000000bfbfbfbf000000000000044005000000000000000800000000000000080000003ae700000200000004000000"
    "0200000061006200d58c000002000000000000000700040001000000";

TEST(NdrItemStates, DecodeImpacketsReadAnswerAndRefuseCountsThatDiffer) {
  const std::string wire = testing::from_hex(kReadAnswer);
  NdrReader r(wire);
  const ReadAnswer answer = read_item_states_answer(r, 2);
  ASSERT_EQ(answer.states.size(), 2u);
  EXPECT_EQ(answer.states[0].client_handle, 100u);
  EXPECT_EQ(answer.states[0].time, 0x01d9000011223344ull);
  EXPECT_EQ(answer.states[0].quality, 0xC0);
  EXPECT_EQ(answer.states[0].value, Variant(2.5));
  EXPECT_EQ(answer.states[1].time, 0x01d9000111223344ull);
  EXPECT_EQ(answer.states[1].quality, 0x18);
  EXPECT_EQ(answer.states[1].value, Variant("ab"));
  EXPECT_EQ(answer.errors, (std::vector<std::uint32_t>{0, 0x00040007}));
  EXPECT_EQ(answer.result, 1u);
  // Written again, it decodes to the same.
  NdrWriter w;
  write_item_states_answer(w, answer);
  NdrReader again(w.data());
  EXPECT_EQ(read_item_states_answer(again, 2).states[1].value, Variant("ab"));

  const struct {
    const char* name;
    std::string wire;
    std::uint32_t count;
    const char* says;
  } refused[] = {
      {"three asked, two sent", wire, 3, "for 2 items where 3"},
      {"cut in the states", wire.substr(0, 30), 2, "does not fit"},
      {"cut in the values", wire.substr(0, 90), 2, "ends"},
      {"a byte left over", wire + '\0', 2, "left over"},
      {"a count beyond the stub", testing::from_hex("0100000000000010"), 0x10000000, "does not fit"},
  };
  for (const auto& c : refused) {
    NdrReader bad(c.wire);
    try {
      read_item_states_answer(bad, c.count);
      ADD_FAILURE() << c.name;
    } catch (const NdrError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace vexa32::dcom::da
