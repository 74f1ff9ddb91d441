#pragma once
// The certificate store, in the folder layout other OPC UA stacks use: own/certs and own/private
// (our application instance certificate, made on first use), trusted/certs and trusted/crl,
// issuers/certs and issuers/crl, rejected/certs. It decides whether a server's certificate is
// trusted, and says why not.

#include <optional>
#include <string>
#include <vector>

#include "platform/opcua/crypto/certificate.h"
#include "platform/opcua/encoding.h"

namespace vexa32::opcua {

// A refusal of the store: the status code that names it and the text for the user.
struct TrustFailure {
  StatusCode code = 0;
  std::string message;
};

class Pki {
 public:
  // The folder: $VEXA32_PKI, else $XDG_CONFIG_HOME/vexa32/pki, else ~/.config/vexa32/pki.
  static std::string default_folder();
  // Creates the folders that are missing (readable by their owner only).
  explicit Pki(std::string folder = default_folder());
  const std::string& folder() const noexcept { return folder_; }

  struct Own {
    crypto::Certificate certificate;
    crypto::Key key;
    std::string certificate_path, key_path;
  };
  // Our certificate and key; made on first use (RSA 2048, SHA-256, five years, CN=VEXA32@host,
  // URI urn:host:VEXA32 and the host's name), the key readable by its owner only.
  Own own();
  // A new certificate in place of the old one.
  Own renew_own();
  // The certificate a user logs in with instead of a password, where there is one:
  // user/certs/NAME.der (or .pem) with its key in user/private/NAME.pem.
  std::optional<Own> user(const std::string& name) const;

  // Empty when the server's certificate (a chain, as the endpoint gives it) is trusted for the
  // URL's host and the server's ApplicationUri; otherwise why not. An unknown certificate is
  // copied to rejected/certs.
  std::optional<TrustFailure> check_server(const std::string& chain, const std::string& host,
                                           const std::string& application_uri);
  // Puts the certificate into trusted/certs (and takes it out of rejected/certs); its path.
  std::string trust(const crypto::Certificate& certificate);
  // Takes the certificate out of trusted/certs, or out of rejected/certs: every file there that
  // holds it, whatever its name. How many files went.
  int untrust(const crypto::Certificate& certificate);
  int forget_rejected(const crypto::Certificate& certificate);
  // Trusts the certificate until the process ends, as a pinned one, without storing it.
  static void trust_for_session(const crypto::Certificate& certificate);
  std::vector<crypto::Certificate> trusted() const;
  std::vector<crypto::Certificate> rejected() const;

  // "CN=..., thumbprint 40 hex digits, valid from ... to ..."
  static std::string describe(const crypto::Certificate& certificate);
  // A file name for the certificate: its common name and thumbprint.
  static std::string file_name(const crypto::Certificate& certificate);

 private:
  std::string path(const std::string& sub) const { return folder_ + "/" + sub; }

  std::string folder_;
};

}  // namespace vexa32::opcua
