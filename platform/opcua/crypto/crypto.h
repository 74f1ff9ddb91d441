#pragma once
// The cryptography of the secure channel, all of it done by OpenSSL: digests, HMAC, the P_SHA256
// key derivation, AES-CBC, random bytes, and RSA keys that sign, verify, encrypt and decrypt.
// Byte strings are std::string, as the encoding's ByteStrings are.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace vexa32::opcua::crypto {

using Bytes = std::string;

// An operation OpenSSL refused, with its own reason.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// OpenSSL set up to stay until the process is gone: the I/O thread may still sign and close a
// channel while the process exits, after OpenSSL's own exit handler would have freed its state.
// Called before anything else of OpenSSL's; safe to call again.
void initialize();

Bytes random_bytes(std::size_t count);
Bytes sha1(std::string_view data);
Bytes hmac_sha256(std::string_view key, std::string_view data);
// The TLS 1.2 pseudo-random function with HMAC-SHA256: length bytes from secret and seed.
Bytes p_sha256(std::string_view secret, std::string_view seed, std::size_t length);
// AES in CBC mode without padding (the data is a whole number of 16-byte blocks); the key's
// length chooses AES-128 or AES-256.
Bytes aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data);
Bytes aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data);
// Equal without telling through the time taken where they differ.
bool equal_secret(std::string_view a, std::string_view b);
// Lower-case hexadecimal digits of the bytes.
std::string hex(std::string_view bytes);

enum class RsaSignature { Pkcs1Sha256, PssSha256 };
enum class RsaPadding { OaepSha1, OaepSha256 };

// The plain text one RSA block takes under that padding, for a key of key_bytes.
std::size_t plain_block(std::size_t key_bytes, RsaPadding padding);

// An RSA key: a public one (from a certificate) or a private one with its public half.
class Key {
 public:
  Key() = default;
  explicit Key(EVP_PKEY* owned);  // takes ownership
  ~Key();
  Key(Key&&) noexcept;
  Key& operator=(Key&&) noexcept;
  Key(const Key& other);
  Key& operator=(const Key& other);

  static Key generate_rsa(int bits);
  // PEM of a private key (PKCS#8 or traditional RSA); CryptoError when it is none.
  static Key from_pem(std::string_view pem);
  std::string private_pem() const;

  explicit operator bool() const noexcept { return key_ != nullptr; }
  int bits() const;
  std::size_t bytes() const { return static_cast<std::size_t>((bits() + 7) / 8); }
  EVP_PKEY* get() const noexcept { return key_; }

  Bytes sign(RsaSignature kind, std::string_view data) const;
  bool verify(RsaSignature kind, std::string_view data, std::string_view signature) const;
  // Whole blocks: the data is cut into plain_block() pieces, each becoming bytes() of cipher text.
  Bytes encrypt(RsaPadding padding, std::string_view data) const;
  // The blocks again; CryptoError when one does not decrypt.
  Bytes decrypt(RsaPadding padding, std::string_view data) const;

 private:
  EVP_PKEY* key_ = nullptr;
};

}  // namespace vexa32::opcua::crypto
