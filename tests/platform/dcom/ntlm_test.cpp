// NTLMv2 against the exchange Microsoft prints byte by byte (user "User", domain "Domain",
// password "Password", server challenge 0123456789abcdef, client challenge aa.., time 0, random
// session key 55..), and against values computed independently with impacket (the server's
// direction, a second message, a CHALLENGE with a timestamp and so a MIC).

#include "platform/dcom/ntlm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "hex.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/legacy_crypto.h"

namespace vexa32::dcom {
namespace {

using testing::from_hex;

using testing::hex;

std::string utf16(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

const std::string kChallenge = from_hex(
    "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400240044000000060070170000000f"
    "53006500720076006500720002000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");
const std::string kAuthenticate = from_hex(
    "4e544c4d5353500003000000180018006c00000054005400840000000c000c00480000000800080054000000100010005c00000010001000"
    "d8000000358288e20501280a0000000f44006f006d00610069006e00550073006500720043004f004d005000550054004500520086c35097"
    "ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa68cd0ab851e51c96aabc927bebef6a1c01010000000000000000000000000000aaaaaaaa"
    "aaaaaaaa0000000002000c0044006f006d00610069006e0001000c005300650072007600650072000000000000000000c5dad2544fc97990"
    "94ce1ce90bc9d03e");
const NtlmCredentials kUser{"Domain", "User", "Password", "COMPUTER"};

NtlmOptions documented_options(bool privacy = true) {
  NtlmOptions o;
  o.privacy = privacy;
  o.version = {5, 1, 0x28, 0x0a, 0, 0, 0, 15};
  o.client_challenge = std::string(8, '\xaa');
  o.exported_session_key = std::string(16, '\x55');
  o.timestamp = 0;
  return o;
}

NtlmContext established_client(bool privacy = true) {
  NtlmContext client(kUser, documented_options(privacy));
  client.negotiate();
  client.authenticate(kChallenge);
  return client;
}

template <typename F>
void expect_refused(F&& f, std::uint32_t hresult, const std::string& text, const std::string& name) {
  try {
    f();
    ADD_FAILURE() << name << ": not refused";
  } catch (const DcomError& e) {
    EXPECT_EQ(e.hresult(), hresult) << name << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << name << ": " << e.what();
  }
}

TEST(NtlmCrypto, PrimitivesMatchPublishedVectorsAndRc4RunsOnAcrossCalls) {
  struct Case {
    const char* name;
    std::string got, want;
  };
  const Case cases[] = {
      {"md4 empty", md4(""), "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"md4 abc", md4("abc"), "a448017aaf21d8525fc10ae87aa6729d"},
      {"md5 abc", md5("abc"), "900150983cd24fb0d6963f7d28e17f72"},
      {"hmac-md5 rfc2202 #2", hmac_md5("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
      {"rc4 Key/Plaintext", Rc4("Key").apply("Plaintext"), "bbf316e8d940af0ad3"},
  };
  for (const Case& c : cases) EXPECT_EQ(hex(c.got), c.want) << c.name;
  Rc4 stream("Key");
  std::string pieces = stream.apply("Plain");
  pieces += stream.apply("text");
  EXPECT_EQ(hex(pieces), "bbf316e8d940af0ad3");
  EXPECT_THROW(Rc4(""), DcomError);
}

TEST(NtlmCrypto, AMissingLegacyProviderIsNamedInTheError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whose library context is not loaded yet
  EXPECT_EXIT(
      {
        ::setenv("OPENSSL_MODULES", "/nonexistent-ossl-modules", 1);
        try {
          md4("x");
        } catch (const DcomError& e) {
          const std::string what = e.what();
          std::exit(e.hresult() == status::SEC_E_SECPKG_NOT_FOUND && what.find("legacy.so") != std::string::npos &&
                            what.find("libssl3") != std::string::npos && what.find("MD4 and RC4") != std::string::npos
                        ? 0
                        : 2);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Ntlm, ReproducesTheDocumentedExchangeByteByByte) {
  EXPECT_EQ(hex(ntowf_v2("Domain", "User", "Password")), "0c868a403bfd7a93a3001ef22ef02e3f");
  EXPECT_EQ(ntowf_v2("Domain", "uSER", "Password"), ntowf_v2("Domain", "User", "Password"));
  EXPECT_NE(ntowf_v2("DOMAIN", "User", "Password"), ntowf_v2("Domain", "User", "Password"));
  EXPECT_EQ(ntowf_v2("D", "j\xc3\xb6rg \xd0\xb8", "p"), ntowf_v2("D", "J\xc3\x96RG \xd0\x98", "p"));  // ö, и

  NtlmContext client(kUser, documented_options());
  const std::string negotiate = client.negotiate();
  EXPECT_EQ(hex(negotiate), "4e544c4d5353500001000000358288e2000000002800000000000000280000000501280a0000000f");
  const std::string authenticate = client.authenticate(kChallenge);
  // It carries the LMv2 response at 0x6c, the NTProofStr at 0x84 and the EncryptedRandomSessionKey at 0xd8.
  EXPECT_EQ(hex(authenticate), hex(kAuthenticate));
  // The key exchange key is the SessionBaseKey: it opens the encrypted key again.
  EXPECT_EQ(Rc4(from_hex("8de40ccadbc14a82f15cb0ad0de95ca3")).apply(authenticate.substr(0xd8, 16)),
            std::string(16, '\x55'));
  EXPECT_EQ(client.flags(), 0xe2888235u);
  EXPECT_EQ(client.session_key(), std::string(16, '\x55'));

  // The server's two keys are impacket's.
  struct Key {
    NtlmKey which;
    const char* want;
  };
  for (const Key& k : {Key{NtlmKey::ClientSign, "4788dc861b4782f35d43fd98fe1a2d39"},
                       Key{NtlmKey::ClientSeal, "59f600973cc4960a25480a7c196e4c58"},
                       Key{NtlmKey::ServerSign, "d04d6f10741041d1d246d64188d7a8ad"},
                       Key{NtlmKey::ServerSeal, "9355f3a957c1583d25c4c2f11e40390e"}}) {
    EXPECT_EQ(hex(ntlm_key(client.session_key(), k.which)), k.want) << static_cast<int>(k.which);
  }

  // Sealing first, then the signature over the plain text, from the same RC4 stream.
  EXPECT_EQ(hex(client.seal(utf16("Plaintext"))), "54e50165bf1936dc996020c1811b0f06fb5f");
  EXPECT_EQ(hex(client.sign(utf16("Plaintext"))), "010000007fb38ec5c55d497600000000");
  EXPECT_EQ(hex(client.seal("second message")), "47a6078f91c67f8aff502232cb2f");
  EXPECT_EQ(hex(client.sign("second message")), "010000004c55ec1dfa82904001000000");
}

TEST(Ntlm, AnswersAServerTimestampWithAMicAndAnEmptyLmResponse) {
  // The documented CHALLENGE with MsvAvTimestamp 0x01da123456789abc, then also with MsvAvFlags 1
  // (to which the MIC bit is added); the answers computed apart in Python with impacket's NTOWFv2.
  struct Case {
    const char *challenge, *authenticate;
  };
  const Case cases[] = {
      {"4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef000000000000000030003000440000000600"
       "70170000000f53006500720076006500720002000c0044006f006d00610069006e0001000c00530065007200760065007200"
       "07000800bc9a78563412da0100000000",
       "4e544c4d5353500003000000180018007c00000068006800940000000c000c00580000000800080064000000100010006c00"
       "000010001000fc000000358288e20501280a0000000f1e2e9594c2668522011429212ae8525c44006f006d00610069006e00"
       "550073006500720043004f004d005000550054004500520000000000000000000000000000000000000000000000000007fc"
       "3fe6f37cb181a6d7726a5e36546b0101000000000000bc9a78563412da01aaaaaaaaaaaaaaaa0000000002000c0044006f00"
       "6d00610069006e0001000c0053006500720076006500720007000800bc9a78563412da010600040002000000000000000000"
       "0000b3848adf68514dc1d08cc412a23a16dd"},
      {"4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef000000000000000038003800440000000600"
       "70170000000f530065007200760065007200060004000100000002000c0044006f006d00610069006e0001000c0053006500"
       "720076006500720007000800bc9a78563412da0100000000",
       "4e544c4d5353500003000000180018007c00000068006800940000000c000c00580000000800080064000000100010006c00"
       "000010001000fc000000358288e20501280a0000000f3790b539c550442eec06809756e642ce44006f006d00610069006e00"
       "550073006500720043004f004d00500055005400450052000000000000000000000000000000000000000000000000002e89"
       "3887571e0467ec6563d7b0d72ba90101000000000000bc9a78563412da01aaaaaaaaaaaaaaaa000000000600040003000000"
       "02000c0044006f006d00610069006e0001000c0053006500720076006500720007000800bc9a78563412da01000000000000"
       "000063944a53e61819b1c5b512f34cd24950"},
  };
  for (const Case& c : cases) {
    NtlmOptions options = documented_options();
    options.timestamp = 42;  // the server's time wins
    NtlmContext client(kUser, options);
    client.negotiate();
    EXPECT_EQ(hex(client.authenticate(from_hex(c.challenge))), c.authenticate);
  }
}

TEST(Ntlm, WithoutKeyExchangeTheSessionBaseKeyIsTheSessionKey) {
  std::string challenge = kChallenge;
  challenge[23] = static_cast<char>(0xa2);  // KEY_EXCH cleared
  NtlmContext client(kUser, documented_options());
  client.negotiate();
  const std::string authenticate = client.authenticate(challenge);
  EXPECT_EQ(hex(client.session_key()), "8de40ccadbc14a82f15cb0ad0de95ca3");
  EXPECT_EQ(client.flags() & ntlm_flag::kKeyExchange, 0u);
  EXPECT_EQ(authenticate.substr(52, 2), std::string(2, '\0'));  // no encrypted key
}

TEST(Ntlm, RefusesMalformedOrWeakChallengesAndStaysUsable) {
  using Edit = std::function<void(std::string&)>;
  auto set16 = [](std::size_t at, unsigned v) {
    return Edit([=](std::string& m) {
      m[at] = static_cast<char>(v & 0xff);
      m[at + 1] = static_cast<char>(v >> 8);
    });
  };
  auto set32 = [](std::size_t at, std::uint32_t v) {
    return Edit([=](std::string& m) {
      for (int i = 0; i < 4; ++i) m[at + i] = static_cast<char>(v >> (8 * i));
    });
  };
  auto clear_flag = [&](std::uint32_t flag) { return set32(20, 0xe28a8233u & ~flag); };
  constexpr std::uint32_t kInvalid = status::SEC_E_INVALID_TOKEN, kWeak = status::SEC_E_UNSUPPORTED_FUNCTION;
  struct Case {
    const char* name;
    Edit edit;
    std::uint32_t hresult;
    const char* text;
  };
  const Case cases[] = {
      {"empty", [](std::string& m) { m.clear(); }, kInvalid, "fewer than its 48-byte fixed part"},
      {"fixed part cut", [](std::string& m) { m.resize(47); }, kInvalid, "fixed part"},
      {"version cut", [](std::string& m) { m.resize(50); }, kInvalid, "VERSION"},
      {"payload cut", [](std::string& m) { m.resize(100); }, kInvalid, "runs past the end"},
      {"signature", [](std::string& m) { m[0] = 'X'; }, kInvalid, "NTLMSSP"},
      {"message type", set32(8, 3), kInvalid, "message type is 3"},
      {"target name beyond end", set32(16, 0x1000), kInvalid, "target name"},
      {"target info offset wraps", set32(44, 0xfffffff0u), kInvalid, "target information"},
      {"target info in fixed part", set32(44, 8), kInvalid, "inside the fixed part"},
      {"target info flagged, empty", set16(40, 0), kInvalid, "carries none"},
      {"AV pair past target info", set16(0x46, 0x40), kInvalid, "runs past the 36-byte target information"},
      {"no MsvAvEOL", set16(40, 0x20), kInvalid, "no MsvAvEOL"},
      {"AV header cut", set16(40, 0x22), kInvalid, "no MsvAvEOL"},
      {"MsvAvEOL with value", set16(0x54, 0), kInvalid, "MsvAvEOL has a value"},
      {"timestamp size", set16(0x44, 7), kInvalid, "MsvAvTimestamp is 12 bytes"},
      {"flags size", set16(0x44, 6), kInvalid, "MsvAvFlags is 12 bytes"},
      {"two timestamps",
       [](std::string& m) {
         m = from_hex(
             "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002c002c00440000000600"
             "70170000000f53006500720076006500720007000800bc9a78563412da0102000c0044006f006d00610069006e0007000800"
             "bc9a78563412da0100000000");
       },
       kInvalid, "MsvAvTimestamp comes twice"},
      {"no extended session security", clear_flag(ntlm_flag::kExtendedSessionSecurity), kWeak,
       "extended session security"},
      {"no 128-bit", clear_flag(ntlm_flag::k128), kWeak, "128-bit keys"},
      {"no NTLM", clear_flag(ntlm_flag::kNtlm), kWeak, "offer NTLM"},
      {"no sealing", clear_flag(ntlm_flag::kSeal), kWeak, "sealing"},
      {"no target info flag", clear_flag(ntlm_flag::kTargetInfo), kWeak, "target information"},
  };
  NtlmContext client(kUser, documented_options());
  client.negotiate();
  for (const Case& c : cases) {
    std::string m = kChallenge;
    c.edit(m);
    expect_refused([&] { client.authenticate(m); }, c.hresult, c.text, c.name);
  }
  for (std::size_t size = 0; size < kChallenge.size(); ++size) {
    expect_refused([&] { client.authenticate(kChallenge.substr(0, size)); }, kInvalid, "", std::to_string(size));
  }
  EXPECT_FALSE(client.established());
  EXPECT_EQ(client.authenticate(kChallenge), kAuthenticate);
}

TEST(Ntlm, VerifiesTheServersStreamAndRefusesAnyChangeForGood) {
  // The server's messages "answer one" and "answer two", sealed and signed by impacket.
  const std::string sealed[] = {from_hex("27666ec034c83d8646a1"), from_hex("75e55274016a35a61ad7")};
  const std::string signatures[] = {from_hex("01000000bbcf9c73d476003300000000"),
                                    from_hex("010000008c40bec9e65b993701000000")};
  {
    NtlmContext client = established_client();
    EXPECT_EQ(client.unseal(sealed[0]), "answer one");
    EXPECT_NO_THROW(client.verify("answer one", signatures[0]));
    EXPECT_EQ(client.unseal(sealed[1]), "answer two");
    EXPECT_NO_THROW(client.verify("answer two", signatures[1]));
  }
  {
    NtlmContext client = established_client(false);  // integrity: the stream serves the checksums alone
    EXPECT_EQ(client.flags() & ntlm_flag::kSeal, 0u);
    EXPECT_NO_THROW(client.verify("answer one", from_hex("01000000da10a29fa9ebe40a00000000")));
    EXPECT_NO_THROW(client.verify("answer two", from_hex("01000000669cf02870ee60b701000000")));
    expect_refused([&] { client.seal("x"); }, status::E_UNEXPECTED, "sealing", "seal without privacy");
  }
  auto flip = [](std::string s, std::size_t at) {
    s[at] = static_cast<char>(s[at] ^ 1);
    return s;
  };
  struct Case {
    const char* name;
    std::string data, signature;
    const char* text;
  };
  // After "answer one" was accepted.
  const Case cases[] = {
      {"data changed", "answer twO", signatures[1], "does not match"},
      {"checksum changed", "answer two", flip(signatures[1], 6), "does not match"},
      {"replayed", "answer one", signatures[0], "sequence number 0 where 1 was due"},
      {"sequence changed", "answer two", flip(signatures[1], 12), "sequence number 0 where 1 was due"},
      {"version changed", "answer two", flip(signatures[1], 0), "version 1"},
      {"signature short", "answer two", signatures[1].substr(0, 15), "16 bytes"},
  };
  for (const Case& c : cases) {
    NtlmContext client = established_client();
    client.unseal(sealed[0]);
    client.verify("answer one", signatures[0]);
    client.unseal(sealed[1]);
    expect_refused([&] { client.verify(c.data, c.signature); }, status::SEC_E_MESSAGE_ALTERED, c.text, c.name);
    expect_refused([&] { client.verify("answer two", signatures[1]); }, status::SEC_E_MESSAGE_ALTERED, "closed",
                   c.name);
    expect_refused([&] { client.unseal(sealed[1]); }, status::SEC_E_MESSAGE_ALTERED, "closed", c.name);
  }
}

TEST(Ntlm, RefusesCallsOutOfOrderAndTextThatIsNotUtf8) {
  NtlmContext client(kUser, documented_options());
  expect_refused([&] { client.authenticate(kChallenge); }, status::E_UNEXPECTED, "after NEGOTIATE", "no negotiate");
  expect_refused([&] { client.sign("x"); }, status::E_UNEXPECTED, "not established", "sign first");
  expect_refused([&] { client.verify("x", std::string(16, '\0')); }, status::E_UNEXPECTED, "not established",
                 "verify first");
  client.negotiate();
  expect_refused([&] { client.negotiate(); }, status::E_UNEXPECTED, "once", "negotiate twice");
  for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "a\xe2\x82"}) {  // invalid, overlong, surrogate, cut
    expect_refused([&] { NtlmContext(NtlmCredentials{"D", bad, "p", "W"}); }, status::E_INVALIDARG, "user name", bad);
  }
  NtlmOptions wrong = documented_options();
  wrong.client_challenge = "short";
  NtlmContext fixed(kUser, wrong);
  fixed.negotiate();
  expect_refused([&] { fixed.authenticate(kChallenge); }, status::E_INVALIDARG, "client challenge", "challenge size");
}

}  // namespace
}  // namespace vexa32::dcom
