#include "platform/dcom/legacy_crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <climits>
#include <cstdlib>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

// What OpenSSL's error queue says, emptied so that it does not show up in someone else's report.
std::string openssl_reason() {
  std::string why;
  while (unsigned long e = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    if (why.empty()) why = text;
  }
  return why;
}

[[noreturn]] void fail(const char* what) {
  const std::string why = openssl_reason();
  throw DcomError(status::E_FAIL, why.empty() ? what : std::string(what) + ": " + why);
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Loaded once and kept until the process ends: the algorithms are fetched here so that each
// call does not search the providers again.
struct Legacy {
  OSSL_LIB_CTX* context = nullptr;
  EVP_MD* md4 = nullptr;
  EVP_MD* md5 = nullptr;
  EVP_CIPHER* rc4 = nullptr;
  EVP_MAC* hmac = nullptr;
  std::string missing;  // why it cannot work; empty when it can
};

std::string modules_folder() {
  if (const char* env = std::getenv("OPENSSL_MODULES")) return env;
  return OpenSSL_version(OPENSSL_MODULES_DIR);
}

Legacy load() {
  Legacy l;
  l.context = OSSL_LIB_CTX_new();
  if (!l.context) {
    l.missing = "NTLM cannot start: OpenSSL has no memory for a library context";
    return l;
  }
  const std::string hint = "NTLM needs MD4 and RC4, which OpenSSL 3 keeps in its \"legacy\" provider, " +
                           modules_folder() + "/legacy.so (Debian package libssl3)";
  if (!OSSL_PROVIDER_load(l.context, "legacy")) {
    const std::string why = openssl_reason();
    l.missing = hint + "; it cannot be loaded" + (why.empty() ? "" : ": " + why);
    return l;
  }
  if (!OSSL_PROVIDER_load(l.context, "default")) {
    l.missing = "NTLM needs OpenSSL's \"default\" provider, which cannot be loaded: " + openssl_reason();
    return l;
  }
  l.md4 = EVP_MD_fetch(l.context, "MD4", nullptr);
  l.md5 = EVP_MD_fetch(l.context, "MD5", nullptr);
  l.rc4 = EVP_CIPHER_fetch(l.context, "RC4", nullptr);
  l.hmac = EVP_MAC_fetch(l.context, "HMAC", nullptr);
  if (!l.md4 || !l.md5 || !l.rc4 || !l.hmac) {
    const std::string why = openssl_reason();
    l.missing = hint + "; it is loaded but does not offer them" + (why.empty() ? "" : ": " + why);
  }
  return l;
}

const Legacy& legacy() {
  static const Legacy instance = load();  // thread-safe once; never freed before exit
  if (!instance.missing.empty()) throw DcomError(status::SEC_E_SECPKG_NOT_FOUND, instance.missing);
  return instance;
}

const unsigned char* bytes_of(std::string_view s) {
  static const unsigned char kNothing = 0;  // OpenSSL wants a pointer even for no bytes
  return s.empty() ? &kNothing : reinterpret_cast<const unsigned char*>(s.data());
}

std::string digest(const EVP_MD* md, std::string_view data) {
  std::string out(static_cast<std::size_t>(EVP_MD_get_size(md)), '\0');
  unsigned int length = 0;
  check(
      EVP_Digest(bytes_of(data), data.size(), reinterpret_cast<unsigned char*>(out.data()), &length, md, nullptr) == 1,
      "a digest failed");
  out.resize(length);
  return out;
}

}  // namespace

std::string md4(std::string_view data) { return digest(legacy().md4, data); }
std::string md5(std::string_view data) { return digest(legacy().md5, data); }

std::string hmac_md5(std::string_view key, std::string_view data) {
  const Legacy& l = legacy();
  std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(l.hmac), &EVP_MAC_CTX_free);
  check(ctx != nullptr, "no HMAC context");
  char md5_name[] = "MD5";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, md5_name, 0),
                               OSSL_PARAM_construct_end()};
  check(EVP_MAC_init(ctx.get(), bytes_of(key), key.size(), params) == 1, "HMAC-MD5 cannot start");
  check(EVP_MAC_update(ctx.get(), bytes_of(data), data.size()) == 1, "HMAC-MD5 failed");
  std::string out(16, '\0');
  std::size_t length = 0;
  check(EVP_MAC_final(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length, out.size()) == 1,
        "HMAC-MD5 failed");
  out.resize(length);
  return out;
}

void Rc4::Free::operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }

Rc4::Rc4(std::string_view key) : ctx_(EVP_CIPHER_CTX_new()) {
  if (key.empty() || key.size() > 256) {
    throw DcomError(status::E_INVALIDARG, "an RC4 key is 1 to 256 bytes, not " + std::to_string(key.size()));
  }
  const Legacy& l = legacy();
  check(ctx_ != nullptr, "no cipher context");
  check(EVP_EncryptInit_ex2(ctx_.get(), l.rc4, nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_key_length(ctx_.get(), static_cast<int>(key.size())) == 1 &&
            EVP_EncryptInit_ex2(ctx_.get(), nullptr, bytes_of(key), nullptr, nullptr) == 1,
        "RC4 cannot start");
}

void Rc4::apply(char* data, std::size_t size) {
  auto* p = reinterpret_cast<unsigned char*>(data);
  while (size > 0) {  // OpenSSL counts in int
    const int piece = size > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(size);
    int written = 0;
    check(EVP_EncryptUpdate(ctx_.get(), p, &written, p, piece) == 1 && written == piece, "RC4 failed");
    p += piece;
    size -= static_cast<std::size_t>(piece);
  }
}

std::string Rc4::apply(std::string_view data) {
  std::string out(data);
  apply(out.data(), out.size());
  return out;
}

}  // namespace vexa32::dcom
