#pragma once
// The old primitives NTLM is built on: MD4, MD5, HMAC-MD5 and RC4. OpenSSL 3 keeps MD4 and RC4 in
// its "legacy" provider, so they come from a library context of our own with the legacy and
// default providers loaded; the process's default OpenSSL state is left as it is. Without the
// legacy provider every call throws DcomError (SEC_E_SECPKG_NOT_FOUND) saying what is missing.

#include <openssl/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vexa32::dcom {

std::string md4(std::string_view data);
std::string md5(std::string_view data);
std::string hmac_md5(std::string_view key, std::string_view data);

// An RC4 key stream: each call continues where the last one stopped, as NTLM's sealing handles
// run on from message to message. Encrypting and decrypting are the same operation.
class Rc4 {
 public:
  explicit Rc4(std::string_view key);

  void apply(char* data, std::size_t size);
  std::string apply(std::string_view data);

 private:
  struct Free {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept;
  };
  std::unique_ptr<EVP_CIPHER_CTX, Free> ctx_;
};

}  // namespace vexa32::dcom
