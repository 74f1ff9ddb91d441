#include "platform/dcom/ntlm.h"

#include <openssl/crypto.h>

#include <stdexcept>
#include <utility>

#include "platform/dcom/errors.h"
#include "platform/dcom/legacy_crypto.h"
#include "platform/dcom/machine.h"

namespace vexa32::dcom {
namespace {

using namespace ntlm_flag;

constexpr std::string_view kMagic{"NTLMSSP\0", 8};
constexpr std::uint32_t kNegotiateType = 1, kChallengeType = 2, kAuthenticateType = 3;
constexpr std::uint16_t kAvEol = 0, kAvFlags = 6, kAvTimestamp = 7;
constexpr std::uint32_t kAvFlagMicPresent = 0x2;
constexpr std::size_t kAuthenticateFixed = 72, kMicSize = 16;  // the fixed part with VERSION, then the MIC
constexpr std::uint64_t kSequenceEnd = 0x100000000ull;

void put16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v & 0xffff));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}
void put64(std::string& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v & 0xffffffffu));
  put32(out, static_cast<std::uint32_t>(v >> 32));
}
std::string le32(std::uint32_t v) {
  std::string out;
  put32(out, v);
  return out;
}
// The caller has checked that the bytes are there.
std::uint32_t get(std::string_view b, std::size_t at, std::size_t size) {
  std::uint32_t v = 0;
  for (std::size_t i = size; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
std::uint16_t get16(std::string_view b, std::size_t at) { return static_cast<std::uint16_t>(get(b, at, 2)); }
std::uint32_t get32(std::string_view b, std::size_t at) { return get(b, at, 4); }
std::uint64_t get64(std::string_view b, std::size_t at) {
  return get32(b, at) | (static_cast<std::uint64_t>(get32(b, at + 4)) << 32);
}

[[noreturn]] void malformed(const std::string& what) {
  throw DcomError(status::SEC_E_INVALID_TOKEN, "the peer's NTLM message is malformed: " + what);
}
[[noreturn]] void out_of_order(const char* what) {
  throw DcomError(status::E_UNEXPECTED, std::string("NTLM: ") + what);
}

// Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF) to UTF-16 code units.
std::u16string utf16(std::string_view text, const char* what) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t extra = lead < 0x80                   ? 0
                              : lead >= 0xc2 && lead < 0xe0 ? 1
                              : lead >= 0xe0 && lead < 0xf0 ? 2
                              : lead >= 0xf0 && lead < 0xf5 ? 3
                                                            : 4;
    if (extra == 4 || text.size() - i <= extra) {
      throw DcomError(status::E_INVALIDARG, std::string("the NTLM ") + what + " is not UTF-8 text");
    }
    char32_t c = extra == 0 ? lead : lead & (0x3f >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) {
        throw DcomError(status::E_INVALIDARG, std::string("the NTLM ") + what + " is not UTF-8 text");
      }
      c = (c << 6) | (next & 0x3f);
    }
    constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[extra] || c > 0x10ffff || (c >= 0xd800 && c < 0xe000)) {
      throw DcomError(status::E_INVALIDARG, std::string("the NTLM ") + what + " is not UTF-8 text");
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  return out;
}

// Windows compares user names in upper case. Latin (Basic, Latin-1, Extended-A), Greek and
// Cyrillic are mapped; other scripts go as they are.
char16_t upper(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xe0 && c <= 0xfe && c != 0xf7)) return static_cast<char16_t>(c - 0x20);
  if (c == 0xff) return 0x178;
  if ((c >= 0x100 && c <= 0x12f) || (c >= 0x132 && c <= 0x137) || (c >= 0x14a && c <= 0x177)) {
    return static_cast<char16_t>(c & ~1u);
  }
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17e)) && (c & 1) == 0) return static_cast<char16_t>(c - 1);
  if (c == 0x3c2) return 0x3a3;  // final sigma
  if ((c >= 0x3b1 && c <= 0x3cb) || (c >= 0x430 && c <= 0x44f)) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45f) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::string little_endian(const std::u16string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) put16(out, c);
  return out;
}

std::string wire_text(std::string_view text, const char* what) {
  std::string out = little_endian(utf16(text, what));
  if (out.size() > 0xffff) throw DcomError(status::E_INVALIDARG, std::string("the NTLM ") + what + " is too long");
  return out;
}

std::string random_bytes(std::size_t count) {
  std::string out(count, '\0');
  secure_random(out.data(), count);
  return out;
}

std::string fixed_or_random(const std::optional<std::string>& fixed, std::size_t size, const char* what) {
  if (!fixed) return random_bytes(size);
  if (fixed->size() != size) {
    throw DcomError(status::E_INVALIDARG, std::string("NTLM: a fixed ") + what + " is " + std::to_string(size) +
                                              " bytes, not " + std::to_string(fixed->size()));
  }
  return *fixed;
}

struct Challenge {
  std::uint32_t flags = 0;
  std::string_view server_challenge;
  std::string target_info;  // the server's AV pairs as we answer them, MsvAvEOL last
  std::optional<std::uint64_t> timestamp;
};

// A payload field (length, maximum, offset) of the fixed part, checked against the message.
std::string_view payload(std::string_view m, std::size_t at, std::size_t fixed, const char* name) {
  const std::size_t length = get16(m, at), offset = get32(m, at + 4);
  if (length == 0) return {};
  if (offset < fixed)
    malformed(std::string("the ") + name + " starts inside the fixed part, at " + std::to_string(offset));
  if (offset > m.size() || m.size() - offset < length) {
    malformed(std::string("the ") + name + " (" + std::to_string(length) + " bytes at " + std::to_string(offset) +
              ") runs past the end of the " + std::to_string(m.size()) + "-byte message");
  }
  return m.substr(offset, length);
}

// The AV pairs as they go into our answer: the server's up to MsvAvEOL; with a timestamp the MIC
// bit is set in MsvAvFlags (which is added when the server sent none).
void read_target_info(std::string_view info, Challenge& c) {
  std::optional<std::size_t> flags_at;
  std::size_t pos = 0;
  for (;;) {
    if (info.size() - pos < 4) malformed("no MsvAvEOL ends the target information");
    const std::uint16_t id = get16(info, pos), length = get16(info, pos + 2);
    if (info.size() - pos - 4 < length) {
      malformed("AV pair " + std::to_string(id) + " (" + std::to_string(length) + " bytes at " + std::to_string(pos) +
                ") runs past the " + std::to_string(info.size()) + "-byte target information");
    }
    const std::string_view value = info.substr(pos + 4, length);
    if (id == kAvEol) {
      if (length != 0) malformed("MsvAvEOL has a value");
      break;
    }
    if (id == kAvTimestamp) {
      if (length != 8) malformed("MsvAvTimestamp is " + std::to_string(length) + " bytes, not 8");
      if (c.timestamp) malformed("MsvAvTimestamp comes twice");
      c.timestamp = get64(value, 0);
    } else if (id == kAvFlags) {
      if (length != 4) malformed("MsvAvFlags is " + std::to_string(length) + " bytes, not 4");
      if (flags_at) malformed("MsvAvFlags comes twice");
      flags_at = c.target_info.size() + 4;
    }
    c.target_info.append(info.substr(pos, 4 + length));
    pos += 4 + length;
  }
  if (c.timestamp) {
    if (flags_at) {
      const std::uint32_t flags = get32(c.target_info, *flags_at) | kAvFlagMicPresent;
      c.target_info.replace(*flags_at, 4, le32(flags));
    } else {
      put16(c.target_info, kAvFlags);
      put16(c.target_info, 4);
      put32(c.target_info, kAvFlagMicPresent);
    }
  }
  c.target_info.append(4, '\0');
}

Challenge read_challenge(std::string_view m) {
  constexpr std::size_t kFixed = 48;  // up to the target information field; VERSION may follow
  if (m.size() < kFixed) {
    malformed(std::to_string(m.size()) + " bytes are fewer than its " + std::to_string(kFixed) + "-byte fixed part");
  }
  if (m.substr(0, 8) != kMagic) malformed("it does not start with \"NTLMSSP\"");
  if (const std::uint32_t type = get32(m, 8); type != kChallengeType) {
    malformed("its message type is " + std::to_string(type) + ", not 2");
  }
  Challenge c;
  c.flags = get32(m, 20);
  const std::size_t fixed = (c.flags & kVersion) ? kFixed + 8 : kFixed;
  if (m.size() < fixed) malformed("its VERSION field is cut off");
  payload(m, 12, fixed, "target name");
  const std::string_view info = payload(m, 40, fixed, "target information");
  c.server_challenge = m.substr(24, 8);
  if ((c.flags & kTargetInfo) && info.empty()) malformed("it announces target information but carries none");
  if (!info.empty()) read_target_info(info, c);
  return c;
}

void require_strength(std::uint32_t offered, bool privacy, const char* whose) {
  struct Need {
    std::uint32_t flag;
    const char* name;
  };
  static constexpr Need kNeeds[] = {{kNtlm, "NTLM"},
                                    {kExtendedSessionSecurity, "extended session security"},
                                    {k128, "128-bit keys"},
                                    {kUnicode, "Unicode"},
                                    {kTargetInfo, "target information"},
                                    {kSign, "signing"},
                                    {kSeal, "sealing"}};
  std::string missing;
  for (const Need& n : kNeeds) {
    if (n.flag == kSeal && !privacy) continue;
    if (!(offered & n.flag)) missing += (missing.empty() ? "" : ", ") + std::string(n.name);
  }
  if (!missing.empty()) {
    throw DcomError(status::SEC_E_UNSUPPORTED_FUNCTION,
                    std::string(whose) + " does not offer " + missing +
                        "; we speak only NTLMv2 with extended session security and 128-bit keys");
  }
}

void append_field(std::string& fixed, std::string& payload_part, std::size_t payload_start, std::string_view value) {
  put16(fixed, static_cast<std::uint16_t>(value.size()));
  put16(fixed, static_cast<std::uint16_t>(value.size()));
  put32(fixed, static_cast<std::uint32_t>(payload_start + payload_part.size()));
  payload_part.append(value);
}

void forget(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

std::string signature(const std::string& sign_key, Rc4& seal_handle, bool key_exchange, std::uint32_t sequence,
                      std::string_view data) {
  std::string message = le32(sequence);
  message.append(data);
  std::string checksum = hmac_md5(sign_key, message).substr(0, 8);
  if (key_exchange) seal_handle.apply(checksum.data(), checksum.size());
  return le32(1) + checksum + le32(sequence);
}

}  // namespace

struct NtlmContext::State {
  enum class Stage { Fresh, Negotiated, Established } stage = Stage::Fresh;
  NtlmOptions options;
  std::string response_key;               // NTOWFv2
  std::string domain, user, workstation;  // UTF-16LE
  std::string negotiate_message;
  std::uint32_t flags = 0;
  // Ours and the peer's: the client's keys and the server's, or the other way round.
  std::string session_key, out_sign, in_sign;
  std::optional<Rc4> out_seal, in_seal;
  std::uint64_t out_sequence = 0, in_sequence = 0;
  bool peer_broken = false;

  ~State() {
    forget(response_key);
    forget(session_key);
    forget(out_sign);
    forget(in_sign);
  }
  void establish(std::string key, std::uint32_t negotiated, bool client) {
    Rc4 client_seal(ntlm_key(key, NtlmKey::ClientSeal)), server_seal(ntlm_key(key, NtlmKey::ServerSeal));
    std::string client_sign = ntlm_key(key, NtlmKey::ClientSign), server_sign = ntlm_key(key, NtlmKey::ServerSign);
    out_seal.emplace(std::move(client ? client_seal : server_seal));
    in_seal.emplace(std::move(client ? server_seal : client_seal));
    out_sign = std::move(client ? client_sign : server_sign);
    in_sign = std::move(client ? server_sign : client_sign);
    session_key = std::move(key);
    flags = negotiated;
    stage = Stage::Established;
  }
  void require_established() const {
    if (stage != Stage::Established) out_of_order("the security context is not established yet");
  }
  void require_peer_intact() const {
    if (peer_broken) {
      throw DcomError(status::SEC_E_MESSAGE_ALTERED,
                      "NTLM: a message of the peer failed its check before; the connection must be closed");
    }
  }
};

NtlmContext::NtlmContext(const NtlmCredentials& credentials, NtlmOptions options) : s_(std::make_unique<State>()) {
  s_->domain = wire_text(credentials.domain, "domain");
  s_->user = wire_text(credentials.user, "user name");
  s_->workstation = wire_text(credentials.workstation, "workstation");
  wire_text(credentials.password, "password");
  s_->response_key = ntowf_v2(credentials.domain, credentials.user, credentials.password);
  s_->options = std::move(options);
}

NtlmContext::NtlmContext() : s_(std::make_unique<State>()) {}
NtlmContext::~NtlmContext() = default;
NtlmContext::NtlmContext(NtlmContext&&) noexcept = default;
NtlmContext& NtlmContext::operator=(NtlmContext&&) noexcept = default;

std::string NtlmContext::negotiate() {
  if (!s_ || s_->stage != State::Stage::Fresh) out_of_order("NEGOTIATE is sent once, first");
  std::uint32_t flags = kUnicode | kRequestTarget | kSign | kNtlm | kAlwaysSign | kExtendedSessionSecurity |
                        kTargetInfo | kVersion | k128 | kKeyExchange | k56;
  if (s_->options.privacy) flags |= kSeal;
  std::string m(kMagic);
  put32(m, kNegotiateType);
  put32(m, flags);
  constexpr std::uint32_t kEnd = 40;  // no domain or workstation supplied
  for (int field = 0; field < 2; ++field) {
    put32(m, 0);
    put32(m, kEnd);
  }
  m.append(reinterpret_cast<const char*>(s_->options.version.data()), s_->options.version.size());
  s_->negotiate_message = m;
  s_->flags = flags;
  s_->stage = State::Stage::Negotiated;
  return m;
}

std::string NtlmContext::authenticate(std::string_view challenge) {
  if (!s_ || s_->stage != State::Stage::Negotiated) out_of_order("AUTHENTICATE answers a CHALLENGE after NEGOTIATE");
  State& s = *s_;
  const Challenge c = read_challenge(challenge);
  require_strength(c.flags, s.options.privacy, "the server's NTLM CHALLENGE");
  // REQUEST_TARGET is ours alone; the server does not repeat it.
  const std::uint32_t flags = s.flags & (c.flags | kRequestTarget);

  const std::string client_challenge = fixed_or_random(s.options.client_challenge, 8, "client challenge");
  std::string temp("\x01\x01\0\0\0\0\0\0", 8);
  put64(temp, c.timestamp ? *c.timestamp : s.options.timestamp ? *s.options.timestamp : filetime_now());
  temp += client_challenge;
  temp.append(4, '\0');
  temp += c.target_info;
  temp.append(4, '\0');
  if (16 + temp.size() > 0xffff) malformed("its target information is too long to be answered");

  const std::string server_challenge(c.server_challenge);
  const std::string proof = hmac_md5(s.response_key, server_challenge + temp);
  const std::string nt_response = proof + temp;
  // With the server's timestamp Windows sends an empty LMv2 answer; the NTLMv2 one carries the proof.
  const std::string lm_response =
      c.timestamp ? std::string(24, '\0')
                  : hmac_md5(s.response_key, server_challenge + client_challenge) + client_challenge;
  std::string base_key = hmac_md5(s.response_key, proof);
  std::string session_key, encrypted_key;
  if (flags & kKeyExchange) {
    session_key = fixed_or_random(s.options.exported_session_key, 16, "exported session key");
    encrypted_key = Rc4(base_key).apply(session_key);
  } else {
    session_key = base_key;
  }
  forget(base_key);

  const bool with_mic = c.timestamp.has_value();
  const std::size_t payload_start = kAuthenticateFixed + (with_mic ? kMicSize : 0);
  std::string m(kMagic), payload_part;
  put32(m, kAuthenticateType);
  // The fields in the order of the fixed part; their bytes in the order Windows writes them.
  std::string fields[6];
  const std::string_view values[6] = {lm_response, nt_response, s.domain, s.user, s.workstation, encrypted_key};
  for (int i : {2, 3, 4, 0, 1, 5}) append_field(fields[i], payload_part, payload_start, values[i]);
  for (const std::string& f : fields) m += f;
  put32(m, flags);
  // The field is always there (the MIC's place depends on it), but holds our version only when
  // the server agreed to exchange versions.
  if (flags & ntlm_flag::kVersion) {
    m.append(reinterpret_cast<const char*>(s.options.version.data()), s.options.version.size());
  } else {
    m.append(s.options.version.size(), '\0');
  }
  if (with_mic) m.append(kMicSize, '\0');
  m += payload_part;
  if (with_mic) {
    std::string covered = s.negotiate_message;
    covered.append(challenge);
    covered += m;
    m.replace(kAuthenticateFixed, kMicSize, hmac_md5(session_key, covered));
  }

  // Nothing above changed the client; from here on nothing throws but the key set-up.
  s.establish(std::move(session_key), flags, true);
  return m;
}

bool NtlmContext::established() const { return s_ && s_->stage == State::Stage::Established; }

std::string NtlmContext::seal(std::string_view data) {
  if (!s_) out_of_order("the client was moved away");
  s_->require_established();
  if (!(s_->flags & kSeal)) out_of_order("sealing was not negotiated");
  return s_->out_seal->apply(data);
}

std::string NtlmContext::sign(std::string_view data) {
  if (!s_) out_of_order("the client was moved away");
  State& s = *s_;
  s.require_established();
  if (s.out_sequence >= kSequenceEnd) {
    throw DcomError(status::RPC_S_CALL_FAILED,
                    "NTLM: the sequence numbers are used up; the connection must be renewed");
  }
  std::string out =
      signature(s.out_sign, *s.out_seal, s.flags & kKeyExchange, static_cast<std::uint32_t>(s.out_sequence), data);
  ++s.out_sequence;
  return out;
}

std::string NtlmContext::unseal(std::string_view data) {
  if (!s_) out_of_order("the client was moved away");
  s_->require_established();
  if (!(s_->flags & kSeal)) out_of_order("sealing was not negotiated");
  s_->require_peer_intact();
  return s_->in_seal->apply(data);
}

void NtlmContext::verify(std::string_view data, std::string_view signature_bytes) {
  if (!s_) out_of_order("the client was moved away");
  State& s = *s_;
  s.require_established();
  s.require_peer_intact();
  s.peer_broken = true;  // until it passes
  if (signature_bytes.size() != 16 || get32(signature_bytes, 0) != 1) {
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "NTLM: the peer's signature is not 16 bytes of version 1");
  }
  if (s.in_sequence >= kSequenceEnd) {
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "NTLM: the peer's sequence numbers are used up");
  }
  const auto expected_sequence = static_cast<std::uint32_t>(s.in_sequence);
  if (const std::uint32_t sequence = get32(signature_bytes, 12); sequence != expected_sequence) {
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "NTLM: the peer's message has sequence number " +
                                                       std::to_string(sequence) + " where " +
                                                       std::to_string(expected_sequence) + " was due");
  }
  const std::string expected = signature(s.in_sign, *s.in_seal, s.flags & kKeyExchange, expected_sequence, data);
  if (CRYPTO_memcmp(expected.data(), signature_bytes.data(), expected.size()) != 0) {
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "NTLM: the peer's message does not match its signature");
  }
  ++s.in_sequence;
  s.peer_broken = false;
}

std::uint32_t NtlmContext::flags() const { return s_ ? s_->flags : 0; }

const std::string& NtlmContext::session_key() const {
  static const std::string kNone;
  return s_ ? s_->session_key : kNone;
}

std::string ntowf_v2(std::string_view domain, std::string_view user, std::string_view password) {
  std::u16string name = utf16(user, "user name");
  for (char16_t& c : name) c = upper(c);
  std::string password_bytes = little_endian(utf16(password, "password"));
  std::string hash = md4(password_bytes);
  forget(password_bytes);
  std::string out = hmac_md5(hash, little_endian(name) + little_endian(utf16(domain, "domain")));
  forget(hash);
  return out;
}

std::string ntlm_key(std::string_view exported_session_key, NtlmKey which) {
  if (exported_session_key.size() != 16) {
    throw DcomError(status::E_INVALIDARG,
                    "NTLM: the exported session key is 16 bytes, not " + std::to_string(exported_session_key.size()));
  }
  // The trailing NUL belongs to each constant.
  static constexpr std::string_view kConstants[] = {
      {"session key to client-to-server signing key magic constant", 59},
      {"session key to client-to-server sealing key magic constant", 59},
      {"session key to server-to-client signing key magic constant", 59},
      {"session key to server-to-client sealing key magic constant", 59},
  };
  std::string input(exported_session_key);
  input.append(kConstants[static_cast<int>(which)]);
  std::string out = md5(input);
  forget(input);
  return out;
}

namespace {

// UTF-16LE as UTF-8; SEC_E_INVALID_TOKEN for an odd length or a lone surrogate.
std::string utf8_of(std::string_view wire, const char* what) {
  if (wire.size() % 2) malformed(std::string("the ") + what + " has an odd number of bytes");
  std::string out;
  for (std::size_t i = 0; i < wire.size(); i += 2) {
    char32_t c = get16(wire, i);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 4 > wire.size()) malformed(std::string("the ") + what + " ends inside a character");
      const char32_t low = get16(wire, i + 2);
      if (low < 0xDC00 || low > 0xDFFF) malformed(std::string("the ") + what + " is not UTF-16");
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      malformed(std::string("the ") + what + " is not UTF-16");
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void av_pair(std::string& out, std::uint16_t id, std::string_view value) {
  put16(out, id);
  put16(out, static_cast<std::uint16_t>(value.size()));
  out.append(value);
}

}  // namespace

std::string ntlm_challenge(std::string_view negotiate, std::string_view server_challenge,
                           std::string_view computer_name, std::uint64_t filetime) {
  using namespace ntlm_flag;
  constexpr std::size_t kNegotiateFixed = 16, kChallengeFixed = 56;
  constexpr std::uint32_t kTargetTypeServer = 0x00020000;
  constexpr std::uint16_t kAvNbComputer = 1, kAvNbDomain = 2, kAvDnsComputer = 3;
  if (server_challenge.size() != 8) throw std::invalid_argument("an NTLM server challenge is 8 bytes");
  if (negotiate.size() < kNegotiateFixed) malformed("the NEGOTIATE is shorter than its fixed part");
  if (negotiate.substr(0, 8) != kMagic) malformed("the NEGOTIATE does not start with \"NTLMSSP\"");
  if (get32(negotiate, 8) != kNegotiateType) malformed("the message is no NEGOTIATE");
  const std::uint32_t asked = get32(negotiate, 12);
  const std::uint32_t ours = kUnicode | kRequestTarget | kSign | kSeal | kNtlm | kAlwaysSign |
                             kExtendedSessionSecurity | k128 | kKeyExchange | k56;
  const std::uint32_t flags = (asked & ours) | kTargetInfo | kVersion | kTargetTypeServer | kUnicode | kNtlm;
  const std::string name = wire_text(computer_name, "computer name");
  std::string info;
  av_pair(info, kAvNbDomain, name);
  av_pair(info, kAvNbComputer, name);
  av_pair(info, kAvDnsComputer, name);
  av_pair(info, kAvTimestamp,
          le32(static_cast<std::uint32_t>(filetime)) + le32(static_cast<std::uint32_t>(filetime >> 32)));
  av_pair(info, kAvEol, "");
  std::string fixed = std::string(kMagic);
  put32(fixed, kChallengeType);
  std::string payload_part;
  append_field(fixed, payload_part, kChallengeFixed, name);
  put32(fixed, flags);
  fixed.append(server_challenge);
  fixed.append(8, '\0');
  append_field(fixed, payload_part, kChallengeFixed, info);
  fixed.append(reinterpret_cast<const char*>(NtlmOptions{}.version.data()), 8);
  return fixed + payload_part;
}

NtlmCaller read_ntlm_authenticate(std::string_view m) {
  constexpr std::size_t kFixed = 64;  // up to the flags; VERSION and the MIC may follow
  if (m.size() < kFixed) malformed("the AUTHENTICATE is shorter than its fixed part");
  if (m.substr(0, 8) != kMagic) malformed("the AUTHENTICATE does not start with \"NTLMSSP\"");
  if (get32(m, 8) != kAuthenticateType) malformed("the message is no AUTHENTICATE");
  NtlmCaller out;
  out.flags = get32(m, 60);
  payload(m, 12, kFixed, "LM response");
  payload(m, 20, kFixed, "NT response");
  out.domain = utf8_of(payload(m, 28, kFixed, "domain name"), "domain name");
  out.user = utf8_of(payload(m, 36, kFixed, "user name"), "user name");
  out.workstation = utf8_of(payload(m, 44, kFixed, "workstation"), "workstation");
  payload(m, 52, kFixed, "session key");
  return out;
}

namespace {

// Whether the caller says it put a MIC into its AUTHENTICATE: MsvAvFlags in the AV pairs of its
// NTLMv2 response (after the blob's 28-byte fixed part).
bool says_mic(std::string_view blob) {
  constexpr std::size_t kBlobFixed = 28;
  if (blob.size() < kBlobFixed) malformed("the NTLMv2 response is shorter than its fixed part");
  for (std::size_t pos = kBlobFixed; blob.size() - pos >= 4;) {
    const std::uint16_t id = get16(blob, pos), length = get16(blob, pos + 2);
    if (blob.size() - pos - 4 < length) malformed("an AV pair runs past the end of the NTLMv2 response");
    if (id == kAvEol) return false;
    if (id == kAvFlags && length == 4) return get32(blob, pos + 4) & kAvFlagMicPresent;
    pos += 4 + length;
  }
  malformed("no MsvAvEOL ends the AV pairs of the NTLMv2 response");
}

}  // namespace

NtlmContext NtlmContext::accept(std::string_view negotiate, std::string_view challenge, std::string_view authenticate,
                                const NtlmAccount& account, bool privacy) {
  constexpr std::size_t kFixed = 64, kProof = 16;
  if (challenge.size() < 32) throw std::invalid_argument("our NTLM CHALLENGE is cut off");
  const NtlmCaller who = read_ntlm_authenticate(authenticate);
  require_strength(who.flags, privacy, "the caller's NTLM AUTHENTICATE");
  const std::string_view nt = payload(authenticate, 20, kFixed, "NT response");
  const std::string named = who.domain + "\\" + who.user, ours = account.domain + "\\" + account.user;
  if (nt.size() <= kProof) {
    throw DcomError(status::SEC_E_LOGON_DENIED, "NTLM: " + named + " sent no NTLMv2 response (NTLMv2 only)");
  }
  const std::string_view blob = nt.substr(kProof);
  const bool with_mic = says_mic(blob);
  std::string proof_input(challenge.substr(24, 8));
  proof_input.append(blob);
  const std::string proof = hmac_md5(account.response_key, proof_input);
  if (CRYPTO_memcmp(proof.data(), nt.data(), kProof) != 0) {
    throw DcomError(status::SEC_E_LOGON_DENIED, "NTLM: the caller " + named + " did not prove the password of " + ours);
  }
  std::string key = hmac_md5(account.response_key, proof);
  if (who.flags & kKeyExchange) {
    const std::string_view encrypted = payload(authenticate, 52, kFixed, "session key");
    if (encrypted.size() != 16) malformed("the encrypted session key is not 16 bytes");
    std::string exported = Rc4(key).apply(encrypted);
    forget(key);
    key = std::move(exported);
  }
  if (with_mic) {
    if (authenticate.size() < kAuthenticateFixed + kMicSize) malformed("the MIC is cut off");
    std::string covered(negotiate);
    covered.append(challenge);
    const std::size_t at = covered.size() + kAuthenticateFixed;
    covered.append(authenticate);
    covered.replace(at, kMicSize, kMicSize, '\0');
    const std::string mic = hmac_md5(key, covered);
    if (CRYPTO_memcmp(mic.data(), authenticate.data() + kAuthenticateFixed, kMicSize) != 0) {
      forget(key);
      throw DcomError(status::SEC_E_LOGON_DENIED, "NTLM: the MIC of " + named + "'s messages does not match");
    }
  }
  NtlmContext out;
  out.s_->establish(std::move(key), who.flags, false);
  return out;
}

}  // namespace vexa32::dcom
