#include "platform/opcua/crypto/certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "platform/opcua/crypto/openssl_p.h"

namespace vexa32::opcua::crypto {

using detail::check;

namespace {

detail::X509Ptr parse(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!cert) {
    ERR_clear_error();
    throw CryptoError("the bytes are not an X.509 certificate");
  }
  return detail::X509Ptr(cert);
}

Bytes der_of(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  check(length > 0, "a certificate cannot be written");
  Bytes out(static_cast<std::size_t>(length), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  i2d_X509(cert, &p);
  return out;
}

std::string name_text(const X509_NAME* name) {
  detail::Bio bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr, "no memory");
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::time_t time_of(const ASN1_TIME* t) {
  std::tm tm{};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  return timegm(&tm);
}

template <typename F>
void each_alt_name(X509* cert, F&& f) {
  detail::Names names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) f(*sk_GENERAL_NAME_value(names.get(), i));
}

std::string ia5(const ASN1_IA5STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), static_cast<std::size_t>(ASN1_STRING_length(s)));
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  check(ext != nullptr, "a certificate extension cannot be made");
  const int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  check(ok == 1, "a certificate extension cannot be added");
}

}  // namespace

Certificate Certificate::from_der(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  detail::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert || p != reinterpret_cast<const unsigned char*>(der.data() + der.size())) {
    ERR_clear_error();
    throw CryptoError("the bytes are not one X.509 certificate");
  }
  Certificate c;
  c.der_ = Bytes(der);
  return c;
}

Certificate Certificate::from_pem(std::string_view pem) {
  detail::Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  detail::X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    ERR_clear_error();
    throw CryptoError("the text holds no certificate");
  }
  Certificate c;
  c.der_ = der_of(cert.get());
  return c;
}

std::vector<Certificate> Certificate::chain_from_der(std::string_view der) {
  std::vector<Certificate> out;
  while (!der.empty()) {
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const auto* p = start;
    detail::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) {
      ERR_clear_error();
      throw CryptoError("the bytes are not a chain of X.509 certificates");
    }
    const auto used = static_cast<std::size_t>(p - start);
    Certificate c;
    c.der_ = Bytes(der.substr(0, used));
    out.push_back(std::move(c));
    der.remove_prefix(used);
  }
  return out;
}

std::string Certificate::thumbprint_hex() const {
  std::string h = hex(thumbprint());
  for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return h;
}

Key Certificate::public_key() const {
  auto cert = parse(der_);
  EVP_PKEY* key = X509_get_pubkey(cert.get());
  check(key != nullptr, "the certificate has no public key");
  return Key(key);
}

std::string Certificate::subject() const { return name_text(X509_get_subject_name(parse(der_).get())); }
std::string Certificate::issuer() const { return name_text(X509_get_issuer_name(parse(der_).get())); }
std::time_t Certificate::not_before() const { return time_of(X509_get0_notBefore(parse(der_).get())); }
std::time_t Certificate::not_after() const { return time_of(X509_get0_notAfter(parse(der_).get())); }

std::string Certificate::application_uri() const {
  auto cert = parse(der_);
  std::string uri;
  each_alt_name(cert.get(), [&](const GENERAL_NAME& n) {
    if (n.type == GEN_URI && uri.empty()) uri = ia5(n.d.uniformResourceIdentifier);
  });
  return uri;
}

std::vector<std::string> Certificate::dns_names() const {
  auto cert = parse(der_);
  std::vector<std::string> out;
  each_alt_name(cert.get(), [&](const GENERAL_NAME& n) {
    if (n.type == GEN_DNS) out.push_back(ia5(n.d.dNSName));
  });
  return out;
}

std::vector<std::string> Certificate::ip_addresses() const {
  auto cert = parse(der_);
  std::vector<std::string> out;
  each_alt_name(cert.get(), [&](const GENERAL_NAME& n) {
    if (n.type != GEN_IPADD) return;
    const unsigned char* b = ASN1_STRING_get0_data(n.d.iPAddress);
    const int length = ASN1_STRING_length(n.d.iPAddress);
    char text[64] = {};
    if (length == 4) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else if (length == 16) {
      std::string six;
      for (int i = 0; i < 16; i += 2) {
        char part[8];
        std::snprintf(part, sizeof part, "%s%x", i ? ":" : "", (b[i] << 8) | b[i + 1]);
        six += part;
      }
      std::snprintf(text, sizeof text, "%s", six.c_str());
    }
    out.emplace_back(text);
  });
  return out;
}

bool Certificate::is_ca() const {
  auto cert = parse(der_);
  return X509_check_ca(cert.get()) != 0;
}

bool Certificate::usable_for_application() const {
  auto cert = parse(der_);
  if (!(X509_get_extension_flags(cert.get()) & EXFLAG_KUSAGE)) return true;
  const std::uint32_t usage = X509_get_key_usage(cert.get());
  return (usage & KU_DIGITAL_SIGNATURE) && (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT));
}

std::string Certificate::signature_digest() const {
  auto cert = parse(der_);
  int digest = NID_undef;
  if (X509_get_signature_info(cert.get(), &digest, nullptr, nullptr, nullptr) != 1 || digest == NID_undef) {
    ERR_clear_error();
    return "an unknown digest";
  }
  return OBJ_nid2sn(digest);
}

bool Certificate::self_signed() const {
  auto cert = parse(der_);
  return X509_check_issued(cert.get(), cert.get()) == X509_V_OK;
}

X509* Certificate::get() const {
  // A fresh object each time: the caller owns it.
  return parse(der_).release();
}

std::string format_time(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

MadeCertificate make_certificate(const CertificateRequest& request) {
  Key key = Key::generate_rsa(request.key_bits);
  detail::X509Ptr cert(X509_new());
  check(cert != nullptr, "no memory for a certificate");
  check(X509_set_version(cert.get(), 2) == 1, "the certificate's version");
  const Bytes serial = random_bytes(16);
  BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(serial.data()), 15, nullptr);
  check(bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr, "the certificate's serial");
  BN_free(bn);
  // A little in the past, so a server whose clock is behind ours accepts it already.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.valid_from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(request.days) * 86400L);
  X509_NAME* name = X509_get_subject_name(cert.get());
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(request.common_name.c_str()), -1, -1, 0) == 1,
        "the certificate's subject");
  detail::X509Ptr issuer(request.issuer ? request.issuer->certificate.get() : nullptr);
  X509* signer = issuer ? issuer.get() : cert.get();
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "the certificate's issuer");
  check(X509_set_pubkey(cert.get(), key.get()) == 1, "the certificate's key");
  if (request.authority) {
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyCertSign,cRLSign");
  } else {
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), signer, NID_key_usage,
                  std::string("critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment") +
                      (issuer ? "" : ",keyCertSign"));
    add_extension(cert.get(), signer, NID_ext_key_usage, "clientAuth,serverAuth");
  }
  add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
  add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (!request.application_uri.empty() || !request.dns_names.empty() || !request.ip_addresses.empty()) {
    std::string alt;
    if (!request.application_uri.empty()) alt = "URI:" + request.application_uri;
    for (const auto& dns : request.dns_names) alt += (alt.empty() ? "DNS:" : ",DNS:") + dns;
    for (const auto& ip : request.ip_addresses) alt += (alt.empty() ? "IP:" : ",IP:") + ip;
    add_extension(cert.get(), signer, NID_subject_alt_name, alt);
  }
  const Key& signing_key = request.issuer ? request.issuer->key : key;
  const EVP_MD* digest = EVP_get_digestbyname(request.digest.c_str());
  check(digest != nullptr, "the certificate's digest is unknown");
  check(X509_sign(cert.get(), signing_key.get(), digest) > 0, "the certificate cannot be signed");
  MadeCertificate made;
  made.certificate = Certificate::from_der(der_of(cert.get()));
  made.key = std::move(key);
  return made;
}

Bytes make_crl(const MadeCertificate& authority, const std::vector<Certificate>& revoked) {
  std::unique_ptr<X509_CRL, void (*)(X509_CRL*)> crl(X509_CRL_new(), X509_CRL_free);
  detail::X509Ptr issuer(authority.certificate.get());
  check(crl && X509_CRL_set_version(crl.get(), 1) == 1 &&
            X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.get())) == 1,
        "a CRL cannot be made");
  std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> now(ASN1_TIME_new(), ASN1_TIME_free);
  X509_gmtime_adj(now.get(), -60);
  X509_CRL_set1_lastUpdate(crl.get(), now.get());
  X509_gmtime_adj(now.get(), 86400);
  X509_CRL_set1_nextUpdate(crl.get(), now.get());
  for (const Certificate& c : revoked) {
    detail::X509Ptr cert(c.get());
    X509_REVOKED* entry = X509_REVOKED_new();
    check(entry != nullptr, "no memory for a CRL entry");
    X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(now.get(), -60);
    X509_REVOKED_set_revocationDate(entry, now.get());
    X509_CRL_add0_revoked(crl.get(), entry);
  }
  X509_CRL_sort(crl.get());
  check(X509_CRL_sign(crl.get(), authority.key.get(), EVP_sha256()) > 0, "the CRL cannot be signed");
  const int length = i2d_X509_CRL(crl.get(), nullptr);
  check(length > 0, "the CRL cannot be written");
  Bytes out(static_cast<std::size_t>(length), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  i2d_X509_CRL(crl.get(), &p);
  return out;
}

}  // namespace vexa32::opcua::crypto
