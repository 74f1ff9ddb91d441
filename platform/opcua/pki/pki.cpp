#include "platform/opcua/pki/pki.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/opcua/crypto/openssl_p.h"
#include "platform/opcua/log.h"
#include "platform/opcua/transport.h"

namespace vexa32::opcua {
namespace {

namespace fs = std::filesystem;
using crypto::Certificate;

constexpr const char* kFolders[] = {"own/certs",     "own/private", "trusted/certs", "trusted/crl",
                                    "issuers/certs", "issuers/crl", "rejected/certs"};

std::string host_name() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host[0] ? host : "localhost";
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

[[noreturn]] void write_failure(const std::string& what, const std::string& path, int error) {
  throw crypto::CryptoError("cannot write " + path + ": " + what + ": " + std::strerror(error));
}

// Written whole under a fresh temporary name in the same folder (made exclusively, never through
// a link someone left there), flushed to disk, then renamed: a reader never sees half a file.
void write_file(const fs::path& p, const std::string& data, mode_t mode) {
  std::string tmp = p.string() + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) write_failure("no temporary file", p.string(), errno);
  auto fail = [&](const char* what) {
    const int error = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    write_failure(what, p.string(), error);
  };
  if (::fchmod(fd, mode) != 0) fail("chmod");
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write");
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("fsync");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(tmp.c_str());
    write_failure("close", p.string(), error);
  }
  if (::rename(tmp.c_str(), p.c_str()) != 0) {
    const int error = errno;
    ::unlink(tmp.c_str());
    write_failure("rename", p.string(), error);
  }
}

// As ssh judges its files: a folder that holds what we trust or our key is ours and nobody
// else's to write, a private key ours alone to read. Otherwise the store is refused, saying how
// to mend it.
void check_owned(const std::string& path, const struct stat& st) {
  if (st.st_uid != ::geteuid())
    throw crypto::CryptoError("the certificate store is refused: " + path + " belongs to user " +
                              std::to_string(st.st_uid) + ", not to this user (" + std::to_string(::geteuid()) +
                              "); chown " + std::to_string(::geteuid()) + " " + path);
}

// The store's folder: nobody else may write it. The private keys' folder: nobody else may enter it.
void check_private_folder(const std::string& path, bool keys) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw crypto::CryptoError("the certificate store is refused: " + path + " is no folder");
  check_owned(path, st);
  if (st.st_mode & (keys ? mode_t{S_IRWXG | S_IRWXO} : mode_t{S_IWGRP | S_IWOTH}))
    throw crypto::CryptoError("the certificate store is refused: others may " + std::string(keys ? "enter" : "write") +
                              " " + path + "; chmod 700 " + path);
}

void check_private_key(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    throw crypto::CryptoError("the private key " + path + " is no plain file");
  check_owned(path, st);
  if (st.st_mode & (S_IRWXG | S_IRWXO))
    throw crypto::CryptoError("the private key " + path + " is refused: others may read or write it; chmod 600 " +
                              path);
}

// A certificate file in DER or PEM; nothing for anything else.
std::optional<Certificate> load_certificate(const fs::path& p) {
  const std::string data = read_file(p);
  try {
    if (data.find("-----BEGIN CERTIFICATE-----") != std::string::npos) return Certificate::from_pem(data);
    return Certificate::from_der(data);
  } catch (const crypto::CryptoError&) {
    return std::nullopt;
  }
}

std::vector<Certificate> certificates_in(const fs::path& folder) {
  std::vector<Certificate> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    if (auto c = load_certificate(entry.path())) out.push_back(std::move(*c));
  }
  return out;
}

// The CRLs of a folder, in DER or PEM, added to the store.
void add_crls(X509_STORE* store, const fs::path& folder) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    const std::string data = read_file(entry.path());
    crypto::detail::Bio bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    X509_CRL* crl = data.find("-----BEGIN X509 CRL-----") != std::string::npos
                        ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr)
                        : d2i_X509_CRL_bio(bio.get(), nullptr);
    if (crl) {
      X509_STORE_add_crl(store, crl);
      X509_CRL_free(crl);
    }
    ERR_clear_error();
  }
}

struct ChainVerdict {
  bool trusted = false;
  int error = X509_V_OK;
  // An authority of the chain that has no CRL in the store: nobody can say whether it revoked
  // what it issued.
  std::optional<Certificate> without_crl;
};

Certificate from_x509(X509* x) {
  unsigned char* der = nullptr;
  const int size = i2d_X509(x, &der);
  if (size <= 0) throw crypto::CryptoError("a certificate cannot be encoded");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return Certificate::from_der(bytes);
}

// Every authority of the chain must have a CRL at hand; the top of a partial chain, whose own
// issuer is not known, is the only exception.
int require_crls(int ok, X509_STORE_CTX* ctx) {
  if (ok || X509_STORE_CTX_get_error(ctx) != X509_V_ERR_UNABLE_TO_GET_CRL) return ok;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  X509* cert = sk_X509_value(chain, depth);
  X509* issuer = depth + 1 < sk_X509_num(chain) ? sk_X509_value(chain, depth + 1)
                                                : (X509_check_issued(cert, cert) == X509_V_OK ? cert : nullptr);
  if (!issuer) return 1;
  auto* verdict = static_cast<ChainVerdict*>(X509_STORE_CTX_get_app_data(ctx));
  try {
    if (verdict && !verdict->without_crl) verdict->without_crl = from_x509(issuer);
  } catch (const crypto::CryptoError&) {
    // Refused all the same, without the name.
  }
  return 0;
}

// Whether the chain leads to one of the anchors, through intermediates from the chain itself or
// `issuers`, with no revocation in the CRLs at hand and a CRL for every authority on the way. A
// partial chain may end at any anchor, also one that is not self-signed.
ChainVerdict verify_chain(const std::vector<Certificate>& chain, const std::vector<Certificate>& anchors,
                          const std::vector<Certificate>& issuers, const fs::path& trusted_crl,
                          const fs::path& issuers_crl, bool partial = false) {
  using X509Stack = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;
  auto free_stack = [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); };
  crypto::detail::X509Ptr leaf(chain.front().get());
  std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), X509_STORE_free);
  X509Stack untrusted(sk_X509_new_null(), free_stack);
  for (const auto& a : anchors) {
    crypto::detail::X509Ptr x(a.get());
    X509_STORE_add_cert(store.get(), x.get());
  }
  for (std::size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].get());
  for (const auto& c : issuers) sk_X509_push(untrusted.get(), c.get());
  add_crls(store.get(), trusted_crl);
  add_crls(store.get(), issuers_crl);
  X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL |
                                        (partial ? X509_V_FLAG_PARTIAL_CHAIN : 0));
  X509_STORE_set_verify_cb(store.get(), require_crls);
  std::unique_ptr<X509_STORE_CTX, void (*)(X509_STORE_CTX*)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
  ChainVerdict v;
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()) != 1) {
    ERR_clear_error();
    v.error = X509_V_ERR_UNSPECIFIED;
    return v;
  }
  X509_STORE_CTX_set_app_data(ctx.get(), &v);
  v.trusted = X509_verify_cert(ctx.get()) == 1;
  v.error = X509_STORE_CTX_get_error(ctx.get());
  ERR_clear_error();
  return v;
}

bool names_host(const Certificate& c, const std::string& host) {
  auto equal = [&](const std::string& name) {
    return name.size() == host.size() && std::equal(name.begin(), name.end(), host.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  for (const auto& n : c.dns_names()) {
    if (equal(n)) return true;
  }
  for (const auto& n : c.ip_addresses()) {
    if (equal(n)) return true;
  }
  return false;
}

}  // namespace

std::string Pki::default_folder() {
  if (const char* pki = std::getenv("VEXA32_PKI"); pki && *pki) return pki;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) return std::string(config) + "/vexa32/pki";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/vexa32/pki";
}

Pki::Pki(std::string folder) : folder_(std::move(folder)) {
  // The store and the key's folder are made for their owner alone; ones that exist are judged,
  // not changed.
  auto make_private = [](const std::string& p) {
    std::error_code ec;
    if (fs::exists(p, ec)) return;
    fs::create_directories(p, ec);
    if (ec) throw crypto::CryptoError("the certificate folder " + p + " cannot be made: " + ec.message());
    if (::chmod(p.c_str(), 0700) != 0)
      throw crypto::CryptoError("the certificate folder " + p + " cannot be made private: " + std::strerror(errno));
  };
  make_private(folder_);
  check_private_folder(folder_, false);
  for (const char* sub : kFolders) {
    if (std::string_view(sub) == "own/private") {
      make_private(path(sub));
      continue;
    }
    std::error_code ec;
    fs::create_directories(path(sub), ec);
    if (ec) throw crypto::CryptoError("the certificate folder " + path(sub) + " cannot be made: " + ec.message());
  }
  check_private_folder(path("own/private"), true);
}

Pki::Own Pki::own() {
  Own o;
  o.certificate_path = path("own/certs/vexa32.der");
  o.key_path = path("own/private/vexa32.pem");
  if (fs::exists(o.certificate_path) && fs::exists(o.key_path)) {
    auto certificate = load_certificate(o.certificate_path);
    if (certificate) {
      check_private_key(o.key_path);
      o.certificate = std::move(*certificate);
      o.key = crypto::Key::from_pem(read_file(o.key_path));
      return o;
    }
  }
  return renew_own();
}

Pki::Own Pki::renew_own() {
  const std::string host = host_name();
  crypto::CertificateRequest request;
  request.common_name = "VEXA32@" + host;
  request.application_uri = "urn:" + host + ":VEXA32";
  request.dns_names = {host};
  auto made = crypto::make_certificate(request);
  Own o;
  o.certificate_path = path("own/certs/vexa32.der");
  o.key_path = path("own/private/vexa32.pem");
  write_file(o.key_path, made.key.private_pem(), 0600);
  write_file(o.certificate_path, made.certificate.der(), 0644);
  o.certificate = std::move(made.certificate);
  o.key = std::move(made.key);
  return o;
}

std::optional<Pki::Own> Pki::user(const std::string& name) const {
  if (name.empty() || name.find('/') != std::string::npos || name.front() == '.') return std::nullopt;
  Own o;
  o.key_path = path("user/private/" + name + ".pem");
  for (const char* ext : {".der", ".pem"}) {
    const std::string candidate = path("user/certs/" + name + ext);
    if (!fs::exists(candidate) || !fs::exists(o.key_path)) continue;
    auto certificate = load_certificate(candidate);
    if (!certificate) continue;
    check_private_key(o.key_path);
    o.certificate = std::move(*certificate);
    o.certificate_path = candidate;
    o.key = crypto::Key::from_pem(read_file(o.key_path));
    return o;
  }
  return std::nullopt;
}

std::string Pki::describe(const Certificate& c) {
  return c.subject() + ", thumbprint " + c.thumbprint_hex() + ", valid from " + crypto::format_time(c.not_before()) +
         " to " + crypto::format_time(c.not_after());
}

std::string Pki::file_name(const Certificate& c) {
  std::string name;
  const std::string subject = c.subject();
  const auto cn = subject.find("CN=");
  if (cn != std::string::npos) name = subject.substr(cn + 3, subject.find(',', cn) - cn - 3);
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '.' && ch != '_' && ch != '@') ch = '_';
  }
  return (name.empty() ? std::string("certificate") : name) + " [" + c.thumbprint_hex() + "].der";
}

std::string Pki::trust(const Certificate& c) {
  const std::string target = path("trusted/certs/" + file_name(c));
  write_file(target, c.der(), 0644);
  std::error_code ec;
  fs::remove(path("rejected/certs/" + file_name(c)), ec);
  return target;
}

namespace {

int remove_certificate(const fs::path& folder, const Certificate& c) {
  int removed = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    auto held = load_certificate(entry.path());
    if (held && *held == c && fs::remove(entry.path(), ec)) ++removed;
  }
  return removed;
}

}  // namespace

int Pki::untrust(const Certificate& c) { return remove_certificate(path("trusted/certs"), c); }
int Pki::forget_rejected(const Certificate& c) { return remove_certificate(path("rejected/certs"), c); }

namespace {

struct SessionTrust {
  std::mutex mutex;
  std::set<std::string> thumbprints;
};

SessionTrust& session_trust() {
  static SessionTrust trust;
  return trust;
}

bool trusted_for_session(const Certificate& c) {
  std::lock_guard lock(session_trust().mutex);
  return session_trust().thumbprints.count(c.thumbprint_hex()) != 0;
}

}  // namespace

void Pki::trust_for_session(const Certificate& certificate) {
  std::lock_guard lock(session_trust().mutex);
  session_trust().thumbprints.insert(certificate.thumbprint_hex());
}

std::vector<Certificate> Pki::trusted() const { return certificates_in(path("trusted/certs")); }
std::vector<Certificate> Pki::rejected() const { return certificates_in(path("rejected/certs")); }

std::optional<TrustFailure> Pki::check_server(const std::string& chain_bytes, const std::string& host,
                                              const std::string& application_uri) {
  std::vector<Certificate> chain;
  try {
    chain = Certificate::chain_from_der(chain_bytes);
  } catch (const crypto::CryptoError& e) {
    return TrustFailure{status::BadCertificateInvalid, std::string("the server's certificate cannot be read: ") + e.what()};
  }
  if (chain.empty()) return TrustFailure{status::BadCertificateInvalid, "the server sent no certificate"};
  const Certificate& leaf = chain.front();
  const std::string what = "the server's certificate (" + describe(leaf) + ")";
  const std::time_t now = std::time(nullptr);
  if (now < leaf.not_before())
    return TrustFailure{status::BadCertificateTimeInvalid,
                        what + " is not valid yet: it is valid from " + crypto::format_time(leaf.not_before())};
  if (now > leaf.not_after())
    return TrustFailure{status::BadCertificateTimeInvalid,
                        what + " expired on " + crypto::format_time(leaf.not_after())};
  const int bits = leaf.public_key().bits();
  if (bits < 2048 || bits > 4096)
    return TrustFailure{status::BadCertificateInvalid,
                        what + " has a key of " + std::to_string(bits) + " bits; 2048 to 4096 are accepted"};
  if (!leaf.usable_for_application())
    return TrustFailure{status::BadCertificateUseNotAllowed, what + " is not meant for signing and encrypting"};
  // Every policy this client speaks wants certificates signed with SHA-256 or stronger.
  const std::string digest = leaf.signature_digest();
  if (digest != "SHA256" && digest != "SHA384" && digest != "SHA512")
    return TrustFailure{status::BadCertificatePolicyCheckFailed,
                        what + " is signed with " + digest + "; the security policies take SHA-256 or stronger"};
  if (leaf.application_uri() != application_uri)
    return TrustFailure{status::BadCertificateUriInvalid, what + " names the application \"" + leaf.application_uri() +
                                                              "\", but the server is \"" + application_uri + "\""};
  const std::vector<Certificate> trusted_certs = trusted();
  std::vector<Certificate> anchors;
  for (const auto& c : trusted_certs) {
    if (c.is_ca()) anchors.push_back(c);
  }
  const std::vector<Certificate> issuer_certs = certificates_in(path("issuers/certs"));
  auto revocation_failure = [&](const ChainVerdict& v) -> std::optional<TrustFailure> {
    if (v.error == X509_V_ERR_CERT_REVOKED)
      return TrustFailure{status::BadCertificateRevoked, what + " is revoked by its issuer"};
    if (v.without_crl) {
      const bool anchor = std::find(anchors.begin(), anchors.end(), *v.without_crl) != anchors.end();
      return TrustFailure{status::BadCertificateRevocationUnknown,
                          what + " cannot be checked for revocation: its authority " + v.without_crl->subject() +
                              " has no CRL in the store; its CRL belongs in " +
                              path(anchor ? "trusted/crl/" : "issuers/crl/")};
    }
    return std::nullopt;
  };
  // Trusted by the user itself: pinned. A host it does not name is no reason to refuse it (a
  // server reached by its address whose certificate names its host name), but it is said. Its
  // authority, where the store knows it, may still have revoked it.
  if (std::find(trusted_certs.begin(), trusted_certs.end(), leaf) != trusted_certs.end() || trusted_for_session(leaf)) {
    if (!leaf.self_signed()) {
      std::vector<Certificate> authorities = anchors;
      for (const auto& c : issuer_certs) {
        if (c.is_ca()) authorities.push_back(c);
      }
      for (std::size_t i = 1; i < chain.size(); ++i) {
        if (chain[i].is_ca()) authorities.push_back(chain[i]);
      }
      if (auto refused = revocation_failure(verify_chain({leaf}, authorities, {}, path("trusted/crl"),
                                                         path("issuers/crl"), true)))
        return refused;
    }
    if (!names_host(leaf, host))
      log_note(what + " does not name the host " + host + "; it is accepted because it was trusted by hand");
    return std::nullopt;
  }
  if (!anchors.empty()) {
    const ChainVerdict v = verify_chain(chain, anchors, issuer_certs, path("trusted/crl"), path("issuers/crl"));
    if (v.trusted) {
      if (!names_host(leaf, host))
        return TrustFailure{status::BadCertificateHostNameInvalid,
                            what + " is issued by a trusted authority but not for the host " + host};
      return std::nullopt;
    }
    if (auto refused = revocation_failure(v)) return refused;
  }
  const std::string rejected = path("rejected/certs/" + file_name(leaf));
  try {
    write_file(rejected, leaf.der(), 0644);
  } catch (const crypto::CryptoError&) {
    // The refusal stands without its copy.
  }
  return TrustFailure{status::BadCertificateUntrusted,
                      what + " is not trusted; a copy waits in " + rejected + ", and moved to " +
                          path("trusted/certs/") + " it is trusted"};
}

}  // namespace vexa32::opcua
