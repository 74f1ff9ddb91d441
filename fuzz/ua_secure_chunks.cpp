// Chunks of a secure channel as they arrive, under one of the three policies in Sign or
// SignAndEncrypt: each is checked and opened (the asymmetric path for OpenSecureChannel, the
// symmetric one for the rest) and what opens is assembled and decoded. Anything may be refused;
// nothing may crash, leak or read past what arrived. The first byte chooses policy and mode; the
// keys are the fixed pairs in fuzz/keys, the server's side played by a channel with the roles
// turned round. VEXA32_FUZZ_WRITE_SEEDS=DIR writes valid seeds there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "chunk_stream_p.h"
#include "platform/opcua/secure_channel.h"

using namespace vexa32::opcua;

namespace {

std::string read(const std::string& name) {
  std::ifstream in(std::string(VEXA32_FUZZ_KEYS) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Pair {
  crypto::Certificate certificate;
  crypto::Key key;
};
const Pair& pair(const char* name) {
  static const Pair client{crypto::Certificate::from_der(read("client.der")), crypto::Key::from_pem(read("client.pem"))};
  static const Pair server{crypto::Certificate::from_der(read("server.der")), crypto::Key::from_pem(read("server.pem"))};
  return std::string_view(name) == "client" ? client : server;
}

ChannelSecurity side(const Pair& own, const Pair& peer, const crypto::SecurityPolicy* policy, crypto::SecurityMode mode) {
  ChannelSecurity s;
  s.policy = policy;
  s.mode = mode;
  s.own_certificate = own.certificate;
  s.own_key = own.key;
  s.server_certificate = peer.certificate.der();
  return s;
}

constexpr std::string_view kClientNonce = "client nonce, thirty-two bytes..";
constexpr std::string_view kServerNonce = "server nonce, thirty-two bytes..";

// The client's channel and the server's, keyed alike for every input.
struct Channels {
  Channels(std::uint8_t choice)
      : policy(crypto::supported_policies()[choice % 3]),
        mode(choice & 4 ? crypto::SecurityMode::SignAndEncrypt : crypto::SecurityMode::Sign),
        client(side(pair("client"), pair("server"), policy, mode)),
        server(side(pair("server"), pair("client"), policy, mode)) {
    client.set_client_nonce(std::string(kClientNonce));
    client.install_token(1, kServerNonce);
    server.set_client_nonce(std::string(kServerNonce));
    server.install_token(1, kClientNonce);
  }
  const crypto::SecurityPolicy* policy;
  crypto::SecurityMode mode;
  SecureChannel client, server;
};

void write_seeds(const std::string& dir) {
  int n = 0;
  for (std::uint8_t choice = 0; choice < 8; ++choice) {
    if (choice % 4 == 3) continue;
    Channels c(choice);
    std::uint32_t sequence = 0;
    std::string stream(1, static_cast<char>(choice));
    Writer open;
    encode(open, NodeId(0, encoding_id::OpenSecureChannelResponse));
    open.raw(std::string(40, '\0'));
    for (auto& chunk : c.server.split("OPN", 1, 1, sequence, open.data(), BufferLimits{})) stream += chunk;
    BufferLimits small;
    small.send_buffer = 8192;
    for (auto& chunk : c.server.split("MSG", 1, 2, sequence, std::string(20000, 'm'), small)) stream += chunk;
    // Each seed opens whole on a fresh client: both messages come out.
    Channels check(choice);
    MessageAssembler assembler(BufferLimits{});
    assembler.set_policy_uri(std::string(check.policy->uri));
    assembler.expect(1);
    assembler.expect(2);
    int messages = 0;
    fuzz::each_chunk(std::string_view(stream).substr(1), [&](const ChunkHeader&, std::string_view chunk) {
      messages += assembler.feed(check.client.open(std::string(chunk))) ? 1 : 0;
    });
    std::fprintf(stderr, "seed-%d: %s/%s, %d messages\n", n, std::string(check.policy->name).c_str(),
                 crypto::mode_name(check.mode), messages);
    std::ofstream(dir + "/seed-" + std::to_string(n++), std::ios::binary) << stream;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool seeded = [] {
    if (const char* dir = std::getenv("VEXA32_FUZZ_WRITE_SEEDS")) write_seeds(dir);
    return true;
  }();
  (void)seeded;
  if (size < 1) return 0;
  Channels c(data[0]);
  std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  MessageAssembler assembler(fuzz::receive_limits(), fuzz::decode_limits());
  assembler.set_policy_uri(std::string(c.policy->uri));
  for (std::uint32_t id = 0; id < 8; ++id) assembler.expect(id);
  try {
    fuzz::each_chunk(stream, [&](const ChunkHeader&, std::string_view chunk) {
      fuzz::decode_message(assembler.feed(c.client.open(std::string(chunk))));
    });
  } catch (const TransportFault&) {
  } catch (const DecodeError&) {
  } catch (const crypto::CryptoError&) {
  }
  return 0;
}
