#include "platform/opcua/crypto/security_policy.h"

namespace vexa32::opcua::crypto {
namespace {

constexpr std::string_view kPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";
constexpr std::string_view kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr std::string_view kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr std::string_view kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

SecurityPolicy make(std::string_view name, std::string_view uri, RsaSignature signature, RsaPadding padding,
                    std::string_view signature_uri, std::string_view encryption_uri, std::size_t encrypting_key) {
  SecurityPolicy p;
  p.name = name;
  p.uri = uri;
  p.asymmetric_signature = signature;
  p.asymmetric_encryption = padding;
  p.signature_uri = signature_uri;
  p.encryption_uri = encryption_uri;
  p.encrypting_key = encrypting_key;
  return p;
}

const SecurityPolicy kNone = [] {
  SecurityPolicy p;
  p.name = "None";
  p.uri = "http://opcfoundation.org/UA/SecurityPolicy#None";
  p.none = true;
  p.signing_key = p.encrypting_key = p.block = 0;
  p.nonce = 0;
  return p;
}();
const SecurityPolicy kBasic256Sha256 =
    make("Basic256Sha256", "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256", RsaSignature::Pkcs1Sha256,
         RsaPadding::OaepSha1, kRsaSha256, kRsaOaep, 32);
const SecurityPolicy kAes128 =
    make("Aes128_Sha256_RsaOaep", "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
         RsaSignature::Pkcs1Sha256, RsaPadding::OaepSha1, kRsaSha256, kRsaOaep, 16);
const SecurityPolicy kAes256Pss =
    make("Aes256_Sha256_RsaPss", "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
         RsaSignature::PssSha256, RsaPadding::OaepSha256, kRsaPssSha256, kRsaOaepSha256, 32);

bool names(const SecurityPolicy& p, std::string_view what) { return what == p.uri || what == p.name; }

}  // namespace

const char* mode_name(SecurityMode mode) {
  switch (mode) {
    case SecurityMode::None: return "None";
    case SecurityMode::Sign: return "Sign";
    case SecurityMode::SignAndEncrypt: return "SignAndEncrypt";
  }
  return "unknown mode";
}

const SecurityPolicy& none_policy() { return kNone; }

const std::vector<const SecurityPolicy*>& supported_policies() {
  static const std::vector<const SecurityPolicy*> all{&kAes256Pss, &kBasic256Sha256, &kAes128};
  return all;
}

const SecurityPolicy* find_policy(std::string_view what) {
  if (names(kNone, what)) return &kNone;
  for (const SecurityPolicy* p : supported_policies()) {
    if (names(*p, what)) return p;
  }
  return nullptr;
}

bool deprecated_policy(std::string_view what) {
  for (std::string_view name : {"Basic128Rsa15", "Basic256"}) {
    if (what == name || (what.size() == kPrefix.size() + name.size() && what.substr(0, kPrefix.size()) == kPrefix &&
                         what.substr(kPrefix.size()) == name))
      return true;
  }
  return false;
}

SymmetricKeys derive_keys(const SecurityPolicy& policy, std::string_view secret, std::string_view seed) {
  const Bytes material = p_sha256(secret, seed, policy.key_material());
  SymmetricKeys k;
  k.signing = material.substr(0, policy.signing_key);
  k.encrypting = material.substr(policy.signing_key, policy.encrypting_key);
  k.iv = material.substr(policy.signing_key + policy.encrypting_key, policy.block);
  return k;
}

}  // namespace vexa32::opcua::crypto
