// Whatever a server sends as the answer to a call: fragments are reassembled, checked and bounded,
// or refused with a DcomError; nothing else may happen. Two ways in, chosen by the first byte:
// raw bytes cut into PDUs as the connection cuts them, or fragments this target protects with
// the server's keys (so the checks pass and reassembly is reached) and then changes one byte of.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dcom/errors.h"
#include "platform/dcom/legacy_crypto.h"
#include "platform/dcom/ntlm.h"
#include "platform/dcom/rpc_answer.h"

using namespace vexa32::dcom;

namespace {

constexpr std::size_t kMaxFragment = 5840;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// MS-NLMP's documented CHALLENGE (4.2.4): the client below is established with known keys.
const std::string& challenge() {
  static const std::string c = from_hex(
      "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400240044000000060070170000"
      "000f53006500720076006500720002000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");
  return c;
}

// The server's side of the NTLM stream: seal, then the checksum encrypted from the same RC4 stream.
struct ServerSide {
  explicit ServerSide(const std::string& session_key)
      : sign_key(ntlm_key(session_key, NtlmKey::ServerSign)), rc4(ntlm_key(session_key, NtlmKey::ServerSeal)) {}
  std::string protect(std::string& pdu, std::size_t sealed_from, std::size_t sealed_to, std::size_t auth_at,
                      bool privacy) {
    std::string plain = pdu.substr(0, auth_at);
    if (privacy)
      pdu.replace(sealed_from, sealed_to - sealed_from, rc4.apply(pdu.substr(sealed_from, sealed_to - sealed_from)));
    std::string sequence(4, '\0');
    for (int i = 0; i < 4; ++i) sequence[i] = static_cast<char>(seq >> (8 * i));
    ++seq;
    const std::string checksum = rc4.apply(hmac_md5(sign_key, sequence + plain).substr(0, 8));
    return std::string("\x01\0\0\0", 4) + checksum + sequence;
  }
  std::string sign_key;
  Rc4 rc4;
  std::uint32_t seq = 0;
};

void feed(rpc::AnswerAssembler& answer, std::string bytes) {
  rpc::Pdu pdu = rpc::split_pdu(std::move(bytes), kMaxFragment);
  if (pdu.header.type == rpc::PduType::Response) answer.add(pdu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const bool privacy = in[0] & 1, built = in[0] & 2;
  in.remove_prefix(1);
  NtlmOptions options;
  options.client_challenge = std::string(8, '\xaa');
  options.exported_session_key = std::string(16, '\x55');
  options.timestamp = 0;
  options.privacy = privacy;
  NtlmContext client({"Domain", "User", "Password", "COMPUTER"}, options);
  client.negotiate();
  client.authenticate(challenge());
  const rpc::AuthLevel level = privacy ? rpc::AuthLevel::Privacy : rpc::AuthLevel::Integrity;
  rpc::AnswerAssembler answer(client, level, 0, 64 * 1024);
  try {
    if (!built) {
      // Raw: PDUs one after the other, as the connection reads them off the socket.
      while (in.size() >= rpc::kHeaderSize) {
        const rpc::Header h = rpc::parse_header(in.substr(0, rpc::kHeaderSize), kMaxFragment);
        if (h.frag_length > in.size()) break;
        feed(answer, std::string(in.substr(0, h.frag_length)));
        in.remove_prefix(h.frag_length);
      }
      return 0;
    }
    // Built: records of [flags][length][body bytes][where to change one byte: 2 bytes][xor].
    ServerSide server(client.session_key());
    while (in.size() >= 2) {
      const auto flags = static_cast<std::uint8_t>(in[0]);
      const std::size_t length = std::min<std::size_t>(static_cast<std::uint8_t>(in[1]) * 8, in.size() - 2);
      const std::string_view stub = in.substr(2, length);
      in.remove_prefix(2 + length);
      std::size_t change_at = 0;
      std::uint8_t change = 0;
      if (in.size() >= 3) {
        change_at = static_cast<std::uint8_t>(in[0]) | static_cast<std::size_t>(static_cast<std::uint8_t>(in[1])) << 8;
        change = static_cast<std::uint8_t>(in[2]);
        in.remove_prefix(3);
      }
      rpc::Header h;
      h.type = rpc::PduType::Response;
      h.flags = flags & (rpc::kFirstFrag | rpc::kLastFrag);
      h.call_id = 1;
      std::string body(rpc::kResponsePrefix, '\0');
      body[0] = static_cast<char>(stub.size());
      body.append(stub);
      rpc::SecurityTrailer trailer;
      trailer.level = level;
      std::string pdu =
          rpc::build_pdu(h, body, trailer, std::string(rpc::kSignatureSize, '\0'), 4, rpc::kResponsePrefix);
      const std::size_t auth_at = pdu.size() - rpc::kSignatureSize;
      const std::string signature =
          server.protect(pdu, rpc::kHeaderSize + rpc::kResponsePrefix, auth_at - rpc::kTrailerSize, auth_at, privacy);
      pdu.replace(auth_at, rpc::kSignatureSize, signature);
      if (change) pdu[change_at % pdu.size()] = static_cast<char>(pdu[change_at % pdu.size()] ^ change);
      feed(answer, std::move(pdu));
    }
  } catch (const DcomError&) {
  }
  return 0;
}
