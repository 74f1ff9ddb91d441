// The activation properties against impacket, a client that activates on Windows every day: our
// request beside the bytes its RemoteCreateInstance builds, and answers built with its
// PropsOutInfo / ScmReplyInfoData / ACTIVATION_BLOB structures (pointer ids are impacket's random
// ones, padding is its 0xFA), whole and damaged.

#include "platform/dcom/activation.h"

#include <gtest/gtest.h>

#include "hex.h"
#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

using testing::from_hex;

const Guid kOpcEnum = guid("13486D51-4821-11D2-A494-3CB306C10000");
const Guid kIUnknown = guid("00000000-0000-0000-C000-000000000046");
const Guid kServerList2 = guid("9DD0B56C-AD9E-43EE-8305-487F3188BF7A");

// impacket's request for OpcEnum and IUnknown.
const std::string kImpacketRequest = from_hex(
    "4d454f5704000000a201000000000000c0000000000000463803000000000000c00000000000004600000000780100006801000000000000"
    "01100800cccccccc88000000cccccccc680100009800000000000000020000000400000000000000000000000000000000000000d82e0000"
    "009300000000000004000000ab01000000000000c000000000000046a501000000000000c000000000000046a401000000000000c0000000"
    "00000046aa01000000000000c000000000000046040000005800000028000000200000003000000001100800cccccccc44000000cccccccc"
    "516d48132148d211a4943cb306c100000000000000000000000000000100000000000000bfcd000000000000050007000100000000000000"
    "00000000c000000000000046fafafafa01100800cccccccc18000000cccccccc000000000000000000000000000000000000000000000000"
    "01100800cccccccc10000000cccccccc0000000000000000000000000000000001100800cccccccc1a000000cccccccc00000000a7cc0000"
    "000000000100aaaafb500000010000000700fafafafafafa");

// Answers for IUnknown: PropsOutInfo first, ScmReplyInfo first; and IOPCServerList2 refused.
const std::string kPropsFirst = from_hex(
    "4d454f5704000000a301000000000000c0000000000000463903000000000000c00000000000004600000000d8010000d001000000000000"
    "01100800cccccccc60000000ccccccccd00100007000000000000000020000000200000000000000000000000000000000000000eb8c0000"
    "3356000000000000020000003903000000000000c000000000000046b601000000000000c00000000000004602000000b8000000a8000000"
    "01100800cccccccca6000000cccccccc01000000ebe80000fb300000dfdb0000010000000000000000000000c00000000000004601000000"
    "0000000001000000cd8b00006a0000006a0000004d454f57010000000000000000000000c000000000000046000000000500000088776655"
    "4433221108070605040302013412000001000200010203040506070813000f0007004e004f004400450031005b0034003900310035003500"
    "5d00000000000a00ffff00000000fafa01100800cccccccc96000000cccccccc0000000088430000887766554433221101050000cdab0000"
    "1100220011121314151617180600000005000700310000003100240007004e004f004400450031005b00340039003100350035005d000000"
    "07003100390032002e003100360038002e0031002e00320030005b00340039003100350035005d00000000000a00ffff00000900ffff4e00"
    "4f00440045003100240000000000fafa");
const std::string kScmFirst = from_hex(
    "4d454f5704000000a301000000000000c0000000000000463903000000000000c00000000000004600000000d8010000d001000000000000"
    "01100800cccccccc60000000ccccccccd0010000700000000000000002000000020000000000000000000000000000000000000089d70000"
    "13b100000000000002000000b601000000000000c0000000000000463903000000000000c00000000000004602000000a8000000b8000000"
    "01100800cccccccc96000000cccccccc0000000093db000088776655443322117b0b0000cdab000011002200111213141516171806000000"
    "05000700310000003100240007004e004f004400450031005b00340039003100350035005d00000007003100390032002e00310036003800"
    "2e0031002e00320030005b00340039003100350035005d00000000000a00ffff00000900ffff4e004f00440045003100240000000000fafa"
    "01100800cccccccca6000000cccccccc01000000629500006c7b0000105d0000010000000000000000000000c00000000000004601000000"
    "000000000100000020d100006a0000006a0000004d454f57010000000000000000000000c000000000000046000000000500000088776655"
    "4433221108070605040302013412000001000200010203040506070813000f0007004e004f004400450031005b0034003900310035003500"
    "5d00000000000a00ffff00000000fafa");
const std::string kNoInterface = from_hex(
    "4d454f5704000000a301000000000000c0000000000000463903000000000000c00000000000004600000000f0010000e801000000000000"
    "01100800cccccccc60000000cccccccce8010000700000000000000002000000020000000000000000000000000000000000000043b20000"
    "d0a900000000000002000000b601000000000000c0000000000000463903000000000000c00000000000004602000000a8000000d0000000"
    "01100800cccccccc96000000cccccccc00000000c047000088776655443322119ec50000cdab000011002200111213141516171806000000"
    "05000700310000003100240007004e004f004400450031005b00340039003100350035005d00000007003100390032002e00310036003800"
    "2e0031002e00320030005b00340039003100350035005d00000000000a00ffff00000900ffff4e004f00440045003100240000000000fafa"
    "01100800ccccccccbe000000cccccccc0200000029610000ebff0000844a0000020000006cb5d09d9eadee438305487f3188bf7a00000000"
    "00000000c0000000000000460200000002400080000000000200000000000000e82900006a0000006a0000004d454f570100000000000000"
    "00000000c0000000000000460000000005000000887766554433221108070605040302013412000001000200010203040506070813000f00"
    "07004e004f004400450031005b00340039003100350035005d00000000000a00ffff00000000fafa");

std::string patched(std::string bytes, std::size_t at, std::string_view hex) {
  const std::string b = from_hex(hex);
  bytes.replace(at, b.size(), b);
  return bytes;
}

TEST(ActivationRequest, IsImpacketsRequestWhereverItsChoicesAreNotOurs) {
  struct Patch {
    std::size_t at;
    const char* hex;
  };
  // impacket's random pointer ids, 0xFA/0xAA padding and 0xCC private fillers, its "blob + 8" in
  // the OBJREF's ignored size, its private lengths without the padding, its thisSize of 0 (set after
  // marshaling), class context 0 and impersonation level 0.
  const Patch patches[] = {
      {0x2c, "70010000"},      {0x44, "00000000"},          {0x6c, "0000020004000200"},  {0xd8, "4800000000000000"},
      {0xf0, "14000000"},      {0x104, "0000020058000000"}, {0x124, "00000000"},         {0x134, "00000000"},
      {0x15c, "00000000"},     {0x178, "2000000000000000"}, {0x184, "0000020002000000"}, {0x18e, "000004000200"},
      {0x19a, "000000000000"},
  };
  std::string expected = kImpacketRequest;
  for (const auto& p : patches) expected = patched(expected, p.at, p.hex);
  EXPECT_EQ(activation_request(kOpcEnum, {kIUnknown}), expected);
}

TEST(ActivationRequest, DecodesAsAServerReadsIt) {
  const std::vector<Guid> iids = {kServerList2, guid("13486D50-4821-11D2-A494-3CB306C10000"), kIUnknown};
  for (const std::string& bytes : {activation_request(kOpcEnum, iids), kImpacketRequest}) {
    const ActivationRequest r = parse_activation_request(bytes);
    EXPECT_EQ(r.clsid, kOpcEnum);
    EXPECT_EQ(r.iids, bytes == kImpacketRequest ? std::vector<Guid>{kIUnknown} : iids);
    EXPECT_EQ(r.client_version, (ComVersion{5, 7}));
    EXPECT_EQ(r.protseqs, std::vector<std::uint16_t>{7});
    EXPECT_EQ(r.properties.size(), 4u);
  }
  EXPECT_THROW(activation_request(kOpcEnum, {}), DcomError);
}

TEST(ActivationRequest, StubCarriesTheObjrefBehindANullOuterUnknown) {
  OrpcThis orpc;
  orpc.cid = kServerList2;
  const std::string stub = remote_create_instance_request(orpc, kOpcEnum, {kIUnknown});
  NdrReader r(stub);
  EXPECT_EQ(read_orpcthis(r), orpc);
  EXPECT_FALSE(r.unique());
  EXPECT_TRUE(r.unique());
  EXPECT_EQ(read_interface_pointer_bytes(r), activation_request(kOpcEnum, {kIUnknown}));
  r.expect_end();
}

TEST(ActivationReply, FindsThePropertiesInEitherOrder) {
  for (const std::string& bytes : {kPropsFirst, kScmFirst, kNoInterface}) {
    const ActivationResult a = parse_activation_reply(bytes);
    EXPECT_EQ(a.oxid, 0x1122334455667788u);
    EXPECT_EQ(a.ipid_rem_unknown, guid("0000ABCD-0011-0022-1112-131415161718"));
    EXPECT_EQ(a.authn_hint, 6u);
    EXPECT_EQ(a.server_version, (ComVersion{5, 7}));
    const DualStringArray bindings{{{7, "NODE1[49155]"}, {7, "192.168.1.20[49155]"}},
                                   {{10, 0xFFFF, ""}, {9, 0xFFFF, "NODE1$"}}};
    EXPECT_EQ(a.bindings, bindings);
    const ActivatedInterface& unknown = a.interfaces.back();
    EXPECT_EQ(unknown.iid, kIUnknown);
    EXPECT_EQ(unknown.hresult, status::S_OK);
    ASSERT_TRUE(unknown.objref.has_value());
    EXPECT_EQ(unknown.objref->kind, OBJREF_STANDARD);
    EXPECT_EQ(unknown.objref->std, (StdObjRef{0, 5, 0x1122334455667788u, 0x0102030405060708u,
                                              guid("00001234-0001-0002-0102-030405060708")}));
    EXPECT_EQ(unknown.objref->resolver.strings, (std::vector<StringBinding>{{7, "NODE1[49155]"}}));
  }
  const ActivationResult refused = parse_activation_reply(kNoInterface);
  ASSERT_EQ(refused.interfaces.size(), 2u);
  EXPECT_EQ(refused.interfaces[0].iid, kServerList2);
  EXPECT_EQ(refused.interfaces[0].hresult, status::E_NOINTERFACE);
  EXPECT_FALSE(refused.interfaces[0].objref.has_value());
}

TEST(ActivationReply, RefusesWhatDoesNotAddUp) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* why;
  };
  const Case cases[] = {
      {"truncated", kPropsFirst.substr(0, kPropsFirst.size() - 1), "activation blob of 464 bytes"},
      {"cut in the header", kPropsFirst.substr(0, 0x90), "activation blob of 464 bytes"},
      {"blob size beside header size", patched(kPropsFirst, 0x30, "c8010000"), "giving 464 bytes for a blob of 456"},
      {"more properties than allowed", patched(kPropsFirst, 0x58, "0b000000"), "11 properties"},
      {"CLSID array beside cIfs", patched(kPropsFirst, 0x78, "01000000"), "CLSIDs of 1 elements"},
      {"sizes short of the blob", patched(kPropsFirst, 0xa4, "a0000000"), "ending at 456"},
      {"size beyond the blob", patched(kPropsFirst, 0xa0, "f0ffffff"), "activation property 0 of 4294967280"},
      {"no ScmReplyInfo", patched(kPropsFirst, 0x8c, "b7010000"), "without ScmReplyInfo"},
      {"PropsOutInfo twice", patched(kPropsFirst, 0x8c, "39030000"), "PropsOutInfo twice"},
      {"serialization version 2", patched(kPropsFirst, 0xa8, "02"), "version 2"},
      {"body beyond its property", patched(kPropsFirst, 0xb0, "b0000000"), "PropsOutInfo of 176 bytes in 168"},
      {"interface count", patched(kPropsFirst, 0xb8, "ffffff7f"), "2147483647 interfaces"},
      {"IID array beyond the data", patched(kPropsFirst, 0xc8, "00000010"), "does not fit"},
      {"S_OK without OBJREF", patched(kPropsFirst, 0xe8, "00000000"), "S_OK without its OBJREF"},
      {"OBJREF size beside max count", patched(kPropsFirst, 0xf0, "6b000000"), "107 bytes with a max count of 106"},
      {"no exporter details", patched(kPropsFirst, 0x174, "00000000"), "object exporter's details"},
      {"no bindings", patched(patched(kPropsFirst, 0x168, "2c000000"), 0x180, "00000000"), "without the bindings"},
      {"bindings beyond the data", patched(kPropsFirst, 0x19c, "ff7f0000"), "does not fit"},
      {"not the answer's class", patched(kPropsFirst, 0x18, "38"), "class {00000338"},
  };
  for (const auto& c : cases) {
    try {
      parse_activation_reply(c.bytes);
      ADD_FAILURE() << c.name << " decoded";
    } catch (const NdrError& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << c.name << ": " << e.what();
    }
  }
}

TEST(ActivationReply, StubErrorCodeDecidesBeforeTheProperties) {
  auto stub = [](bool with_properties, std::uint32_t error) {
    NdrWriter w;
    write_orpcthat(w, {});
    w.unique(with_properties);
    if (with_properties) write_interface_pointer(w, decode_objref(kPropsFirst));
    w.u32(error);
    return w.take();
  };
  EXPECT_EQ(parse_remote_create_instance_reply(stub(true, 0)).oxid, 0x1122334455667788u);
  // CO_S_NOTALLINTERFACES is a success that still carries the answer.
  EXPECT_EQ(parse_remote_create_instance_reply(stub(true, 0x00080012)).interfaces.size(), 1u);
  try {
    parse_remote_create_instance_reply(stub(false, status::REGDB_E_CLASSNOTREG));
    ADD_FAILURE() << "a failed activation decoded";
  } catch (const DcomError& e) {
    EXPECT_EQ(e.hresult(), status::REGDB_E_CLASSNOTREG);  // the server's, not bad stub data
  }
  EXPECT_THROW(parse_remote_create_instance_reply(stub(false, 0)), NdrError);
}

}  // namespace
}  // namespace vexa32::dcom
