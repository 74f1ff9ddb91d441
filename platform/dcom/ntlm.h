#pragma once
// NTLMv2 for connection-oriented DCE/RPC (auth type 10). As the client: the NEGOTIATE sent with
// the bind, the AUTHENTICATE answering the server's CHALLENGE (sent in AUTH3). As the accepting
// side (our object exporter, for a caller whose account we hold): the CHALLENGE, then the check
// of the caller's AUTHENTICATE. Either way, then the signatures and sealing of every PDU in both
// directions.
//
// Only NTLMv2 with extended session security and 128-bit keys: a peer offering less is refused
// (SEC_E_UNSUPPORTED_FUNCTION, naming what it lacks); a message that does not decode is refused
// with SEC_E_INVALID_TOKEN and leaves the context as it was.
//
// Protecting PDUs, once the context is established. Each direction has its own RC4 stream and
// its own sequence number (from 0, one per PDU, so one per fragment); the calls below must come
// in this order or the streams no longer match the peer's:
//   packet integrity (level 5):
//     out: auth value = sign(header .. security trailer)
//     in:  verify(header .. security trailer, auth value)
//   packet privacy (level 6):
//     out: sealed body = seal(body); then auth value = sign(header .. trailer with the body
//          still in plain text); the PDU goes out with the sealed body
//     in:  body = unseal(sealed body); then verify(header .. trailer with the unsealed body,
//          auth value)
// A failed verify() throws SEC_E_MESSAGE_ALTERED, and every later unseal() or verify() does the
// same: the peer's stream is out of step and the connection has to be closed.
// One connection's context, used by one thread at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexa32::dcom {

// UTF-8 text. For a local account of the server the domain is the server's name.
struct NtlmCredentials {
  std::string domain, user, password, workstation;
};

struct NtlmOptions {
  bool privacy = true;  // ask for sealing (packet privacy); signing only otherwise
  // Our VERSION field: major, minor, build (little-endian), three reserved, NTLM revision 15.
  std::array<std::uint8_t, 8> version = {6, 1, 0xb1, 0x1d, 0, 0, 0, 15};
  // Fixed in place of chance and the clock, for known answers: the 8-byte client challenge, the
  // 16-byte exported session key and the time (FILETIME) used when the server sends none.
  std::optional<std::string> client_challenge;
  std::optional<std::string> exported_session_key;
  std::optional<std::uint64_t> timestamp;
};

namespace ntlm_flag {
inline constexpr std::uint32_t kUnicode = 0x00000001, kRequestTarget = 0x00000004, kSign = 0x00000010,
                               kSeal = 0x00000020, kNtlm = 0x00000200, kAlwaysSign = 0x00008000,
                               kExtendedSessionSecurity = 0x00080000, kTargetInfo = 0x00800000, kVersion = 0x02000000,
                               k128 = 0x20000000, kKeyExchange = 0x40000000, k56 = 0x80000000;
}  // namespace ntlm_flag

// An account whose callers we can check: the NTOWFv2 of its password, with the names it was
// made from.
struct NtlmAccount {
  std::string domain, user, response_key;
};

class NtlmContext {
 public:
  // The client. Throws E_INVALIDARG for text that is not UTF-8 or too long for the messages, and
  // SEC_E_SECPKG_NOT_FOUND without OpenSSL's legacy provider. Keeps no password, only its hash.
  NtlmContext(const NtlmCredentials& credentials, NtlmOptions options = {});
  ~NtlmContext();
  NtlmContext(NtlmContext&&) noexcept;
  NtlmContext& operator=(NtlmContext&&) noexcept;

  // The NEGOTIATE message; once.
  std::string negotiate();
  // The AUTHENTICATE message for the server's CHALLENGE; once, after negotiate().
  std::string authenticate(std::string_view challenge);
  bool established() const;

  // Ours, in the order described above; E_UNEXPECTED before the context is established (and
  // seal() without privacy).
  std::string seal(std::string_view data);
  std::string sign(std::string_view data);  // the 16-byte signature
  // The peer's.
  std::string unseal(std::string_view data);
  void verify(std::string_view data, std::string_view signature);

  std::uint32_t flags() const;             // as negotiated (those sent in AUTHENTICATE)
  const std::string& session_key() const;  // the exported session key, 16 bytes

  // The accepting side: the context of a caller whose AUTHENTICATE answered our CHALLENGE (which
  // answered its NEGOTIATE), when it proves the account's password: the NTLMv2 proof, and the
  // MIC when the caller says it sent one. Ours are then the server's keys, the caller's the
  // client's. SEC_E_LOGON_DENIED when the proof or the MIC does not match, SEC_E_INVALID_TOKEN
  // for messages that do not decode, SEC_E_UNSUPPORTED_FUNCTION for less than NTLMv2 with
  // extended session security, signing and 128-bit keys (and sealing when `privacy`).
  static NtlmContext accept(std::string_view negotiate, std::string_view challenge, std::string_view authenticate,
                            const NtlmAccount& account, bool privacy);

 private:
  NtlmContext();
  struct State;
  std::unique_ptr<State> s_;
};

// Who a caller says it is. A server calls back under its own account, which we cannot check
// without its domain controller: at level "connect" this is all we learn.
struct NtlmCaller {
  std::string domain, user, workstation;
  std::uint32_t flags = 0;
};
// The CHALLENGE answering a NEGOTIATE: the flags both support, the 8-byte server challenge, our
// computer name as target and in the target information, with the time. SEC_E_INVALID_TOKEN for
// a NEGOTIATE that does not decode.
std::string ntlm_challenge(std::string_view negotiate, std::string_view server_challenge,
                           std::string_view computer_name, std::uint64_t filetime);
// Who an AUTHENTICATE names; SEC_E_INVALID_TOKEN when a field runs outside the message or is no
// UTF-16.
NtlmCaller read_ntlm_authenticate(std::string_view authenticate);

// The derivations, public for their known-answer tests (and the account's key).
std::string ntowf_v2(std::string_view domain, std::string_view user, std::string_view password);
enum class NtlmKey { ClientSign, ClientSeal, ServerSign, ServerSeal };
std::string ntlm_key(std::string_view exported_session_key, NtlmKey which);

}  // namespace vexa32::dcom
