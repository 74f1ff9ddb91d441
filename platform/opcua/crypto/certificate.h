#pragma once
// X.509 certificates as the secure channel and the trust list need them: DER in and out, the
// SHA-1 thumbprint, the public key, who it names and for how long, and making our own.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcua/crypto/crypto.h"

typedef struct x509_st X509;

namespace vexa32::opcua::crypto {

class Certificate {
 public:
  Certificate() = default;
  // CryptoError when the bytes are no certificate, or hold more than one.
  static Certificate from_der(std::string_view der);
  static Certificate from_pem(std::string_view pem);
  // A ByteString that holds a chain: DER certificates one after the other, the leaf first.
  static std::vector<Certificate> chain_from_der(std::string_view der);

  explicit operator bool() const noexcept { return !der_.empty(); }
  const Bytes& der() const noexcept { return der_; }
  // SHA-1 over the DER bytes: 20 bytes.
  Bytes thumbprint() const { return sha1(der_); }
  // The thumbprint as 40 upper-case hex digits, as tools show it.
  std::string thumbprint_hex() const;
  Key public_key() const;
  std::string subject() const;  // "CN=..., O=..."
  std::string issuer() const;
  std::time_t not_before() const;
  std::time_t not_after() const;
  // From the SubjectAltName: the URI (the ApplicationUri), the DNS names and the IP addresses.
  std::string application_uri() const;
  std::vector<std::string> dns_names() const;
  std::vector<std::string> ip_addresses() const;
  bool is_ca() const;
  // Issued by itself (its own key verifies it), as a pinned application certificate is.
  bool self_signed() const;
  // The digest its issuer signed it with, by OpenSSL's short name ("SHA256", "SHA1").
  std::string signature_digest() const;
  // The key usages a UA application certificate needs (signature and key or data encipherment),
  // or no KeyUsage extension at all.
  bool usable_for_application() const;
  X509* get() const;

  friend bool operator==(const Certificate& a, const Certificate& b) { return a.der_ == b.der_; }

 private:
  Bytes der_;
};

// "2026-12-08 14:43:14 UTC"
std::string format_time(std::time_t t);

struct MadeCertificate {
  Certificate certificate;
  Key key;
};
struct CertificateRequest {
  std::string common_name;      // CN=
  std::string application_uri;  // SubjectAltName URI
  std::vector<std::string> dns_names;
  std::vector<std::string> ip_addresses;
  long valid_from = -3600;  // seconds from now: a little in the past, for clocks behind ours
  int days = 365 * 5;       // from now
  int key_bits = 2048;
  bool authority = false;                 // a CA that signs others, not an application
  const MadeCertificate* issuer = nullptr;  // signed by this CA; self-signed without one
  std::string digest = "SHA256";            // the signature's digest
};
// An application instance certificate (or a CA's) with a fresh RSA key, SHA-256, the key usages
// and extended key usages a UA client and server certificate carries.
MadeCertificate make_certificate(const CertificateRequest& request);
// A CRL of the CA revoking those certificates, in DER, valid for a day.
Bytes make_crl(const MadeCertificate& authority, const std::vector<Certificate>& revoked);

}  // namespace vexa32::opcua::crypto
