#include "platform/opcua/crypto/crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <utility>

#include "platform/opcua/crypto/openssl_p.h"

namespace vexa32::opcua::crypto {
namespace detail {

void fail(const std::string& what) {
  std::string why;
  while (unsigned long e = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    if (why.empty()) why = text;
  }
  throw CryptoError(why.empty() ? what : what + ": " + why);
}

}  // namespace detail

using detail::check;

namespace {

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes_of(Bytes& s) { return reinterpret_cast<unsigned char*>(s.data()); }

Bytes digest(const EVP_MD* md, std::string_view data) {
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)), '\0');
  unsigned int length = 0;
  check(EVP_Digest(data.data(), data.size(), bytes_of(out), &length, md, nullptr) == 1, "a digest failed");
  out.resize(length);
  return out;
}

const EVP_CIPHER* aes_cbc(std::size_t key_length) {
  if (key_length == 16) return EVP_aes_128_cbc();
  if (key_length == 32) return EVP_aes_256_cbc();
  throw CryptoError("an AES key is 16 or 32 bytes, not " + std::to_string(key_length));
}

Bytes aes_cbc(std::string_view key, std::string_view iv, std::string_view data, bool encrypt) {
  if (iv.size() != 16) throw CryptoError("an AES-CBC initialisation vector is 16 bytes");
  if (data.size() % 16 != 0) throw CryptoError("AES-CBC data is not a whole number of blocks");
  detail::CipherCtx ctx(EVP_CIPHER_CTX_new());
  check(ctx != nullptr, "no cipher context");
  check(EVP_CipherInit_ex(ctx.get(), aes_cbc(key.size()), nullptr, bytes_of(key), bytes_of(iv), encrypt ? 1 : 0) == 1,
        "AES-CBC cannot start");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(data.size(), '\0');
  int written = 0, last = 0;
  if (!data.empty()) {
    check(EVP_CipherUpdate(ctx.get(), bytes_of(out), &written, bytes_of(data), static_cast<int>(data.size())) == 1,
          "AES-CBC failed");
  }
  check(EVP_CipherFinal_ex(ctx.get(), bytes_of(out) + written, &last) == 1, "AES-CBC failed");
  out.resize(static_cast<std::size_t>(written + last));
  return out;
}

void set_padding(EVP_PKEY_CTX* ctx, RsaPadding padding) {
  check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0, "RSA-OAEP is not available");
  const EVP_MD* md = padding == RsaPadding::OaepSha256 ? EVP_sha256() : EVP_sha1();
  check(EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0,
        "RSA-OAEP's digest cannot be set");
}

void set_signature(EVP_PKEY_CTX* ctx, RsaSignature kind) {
  if (kind == RsaSignature::PssSha256) {
    check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0,
          "RSA-PSS is not available");
  } else {
    check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0, "RSA PKCS#1 v1.5 is not available");
  }
}

}  // namespace

void initialize() {
  static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)done;
}

namespace {
// Before main: no OpenSSL call of anyone's comes first.
[[maybe_unused]] const bool g_initialized = (initialize(), true);
}  // namespace

Bytes random_bytes(std::size_t count) {
  Bytes out(count, '\0');
  if (count) check(RAND_bytes(bytes_of(out), static_cast<int>(count)) == 1, "no random bytes");
  return out;
}

Bytes sha1(std::string_view data) { return digest(EVP_sha1(), data); }

Bytes hmac_sha256(std::string_view key, std::string_view data) {
  Bytes out(32, '\0');
  unsigned int length = 0;
  check(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes_of(data), data.size(), bytes_of(out),
             &length) != nullptr,
        "HMAC-SHA256 failed");
  out.resize(length);
  return out;
}

Bytes p_sha256(std::string_view secret, std::string_view seed, std::size_t length) {
  // A(0) = seed, A(i) = HMAC(secret, A(i-1)); the output is HMAC(secret, A(i) + seed), i = 1, 2, ...
  Bytes out;
  out.reserve(length + 32);
  Bytes a = hmac_sha256(secret, seed);
  while (out.size() < length) {
    Bytes block = a;
    block.append(seed);
    out += hmac_sha256(secret, block);
    a = hmac_sha256(secret, a);
  }
  out.resize(length);
  return out;
}

Bytes aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data) {
  return aes_cbc(key, iv, data, true);
}

Bytes aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data) {
  return aes_cbc(key, iv, data, false);
}

bool equal_secret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::size_t plain_block(std::size_t key_bytes, RsaPadding padding) {
  const std::size_t overhead = padding == RsaPadding::OaepSha256 ? 66 : 42;
  return key_bytes > overhead ? key_bytes - overhead : 0;
}

Key::Key(EVP_PKEY* owned) : key_(owned) {}
Key::~Key() { EVP_PKEY_free(key_); }
Key::Key(Key&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}
Key::Key(const Key& other) : key_(other.key_) {
  if (key_) EVP_PKEY_up_ref(key_);
}
Key& Key::operator=(const Key& other) {
  if (this != &other) {
    if (other.key_) EVP_PKEY_up_ref(other.key_);
    EVP_PKEY_free(key_);
    key_ = other.key_;
  }
  return *this;
}

Key Key::generate_rsa(int bits) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
  check(key != nullptr, "an RSA key cannot be made");
  return Key(key);
}

Key Key::from_pem(std::string_view pem) {
  detail::Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  check(bio != nullptr, "no memory for the key");
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  check(key != nullptr, "the text holds no private key");
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key);
    throw CryptoError("the private key is not an RSA key");
  }
  return Key(key);
}

std::string Key::private_pem() const {
  detail::Bio bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "the key cannot be written");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

int Key::bits() const { return key_ ? EVP_PKEY_get_bits(key_) : 0; }

Bytes Key::sign(RsaSignature kind, std::string_view data) const {
  detail::MdCtx ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  check(ctx && EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key_) == 1, "signing cannot start");
  set_signature(pctx, kind);
  std::size_t length = 0;
  check(EVP_DigestSign(ctx.get(), nullptr, &length, bytes_of(data), data.size()) == 1, "signing failed");
  Bytes out(length, '\0');
  check(EVP_DigestSign(ctx.get(), bytes_of(out), &length, bytes_of(data), data.size()) == 1, "signing failed");
  out.resize(length);
  return out;
}

bool Key::verify(RsaSignature kind, std::string_view data, std::string_view signature) const {
  detail::MdCtx ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  check(ctx && EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key_) == 1, "verifying cannot start");
  set_signature(pctx, kind);
  const bool ok =
      EVP_DigestVerify(ctx.get(), bytes_of(signature), signature.size(), bytes_of(data), data.size()) == 1;
  ERR_clear_error();  // a bad signature is an answer, not an error
  return ok;
}

Bytes Key::encrypt(RsaPadding padding, std::string_view data) const {
  const std::size_t block = plain_block(bytes(), padding);
  if (block == 0) throw CryptoError("the key is too short for RSA-OAEP");
  detail::PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr));
  check(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1, "encryption cannot start");
  set_padding(ctx.get(), padding);
  Bytes out;
  out.reserve((data.size() + block - 1) / block * bytes());
  for (std::size_t at = 0; at < data.size(); at += block) {
    std::string_view piece = data.substr(at, block);
    std::size_t length = bytes();
    Bytes cipher(length, '\0');
    check(EVP_PKEY_encrypt(ctx.get(), bytes_of(cipher), &length, bytes_of(piece), piece.size()) == 1,
          "RSA encryption failed");
    cipher.resize(length);
    out += cipher;
  }
  return out;
}

Bytes Key::decrypt(RsaPadding padding, std::string_view data) const {
  const std::size_t block = bytes();
  if (block == 0 || data.size() % block != 0) throw CryptoError("the cipher text is not a whole number of RSA blocks");
  detail::PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr));
  check(ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1, "decryption cannot start");
  set_padding(ctx.get(), padding);
  Bytes out;
  out.reserve(data.size());
  for (std::size_t at = 0; at < data.size(); at += block) {
    std::string_view piece = data.substr(at, block);
    std::size_t length = block;
    Bytes plain(length, '\0');
    check(EVP_PKEY_decrypt(ctx.get(), bytes_of(plain), &length, bytes_of(piece), piece.size()) == 1,
          "an RSA block does not decrypt");
    plain.resize(length);
    out += plain;
  }
  return out;
}

}  // namespace vexa32::opcua::crypto
