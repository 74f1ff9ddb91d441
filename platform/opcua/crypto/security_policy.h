#pragma once
// The security policies this client speaks, each as the algorithms and sizes the channel and the
// session need. The channel code asks the policy; it never names an algorithm itself.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcua/crypto/crypto.h"

namespace vexa32::opcua::crypto {

enum class SecurityMode : std::int32_t { None = 1, Sign = 2, SignAndEncrypt = 3 };
const char* mode_name(SecurityMode mode);

struct SecurityPolicy {
  std::string_view name;  // "Basic256Sha256"
  std::string_view uri;
  bool none = false;
  RsaSignature asymmetric_signature = RsaSignature::Pkcs1Sha256;
  RsaPadding asymmetric_encryption = RsaPadding::OaepSha1;
  std::string_view signature_uri;   // SignatureData.algorithm
  std::string_view encryption_uri;  // an encrypted user token's algorithm
  std::size_t signing_key = 32;     // HMAC-SHA256 key, and the signature's size
  std::size_t encrypting_key = 32;  // AES key
  std::size_t block = 16;           // AES block, and the IV's size
  std::size_t nonce = 32;
  int min_key_bits = 2048, max_key_bits = 4096;

  std::size_t key_material() const { return signing_key + encrypting_key + block; }
};

// None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss by URI or by name; nullptr
// for any other. deprecated_policy() names Basic128Rsa15 and Basic256, which are refused.
const SecurityPolicy* find_policy(std::string_view uri_or_name);
const SecurityPolicy& none_policy();
bool deprecated_policy(std::string_view uri_or_name);
// The supported policies, most secure first.
const std::vector<const SecurityPolicy*>& supported_policies();

// One direction's keys: what signs, what encrypts and the initialisation vector.
struct SymmetricKeys {
  Bytes signing, encrypting, iv;
};
// P_SHA256(secret, seed) cut into the policy's key sizes. What the client sends uses
// (server nonce, client nonce); what the server sends (client nonce, server nonce).
SymmetricKeys derive_keys(const SecurityPolicy& policy, std::string_view secret, std::string_view seed);

}  // namespace vexa32::opcua::crypto
