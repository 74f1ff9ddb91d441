#pragma once
// What the client cannot settle alone, it asks whoever runs it: a server certificate the store
// does not trust, and a login the password file does not hold. The host installs a service, as it
// installs the message box: windows ask a person, the monitor answers from its flags, Python calls
// back. Without one the answer is "refuse", and the connection fails with its message.

#include <memory>
#include <optional>
#include <string>

#include "platform/opcua/crypto/certificate.h"
#include "platform/opcua/encoding.h"

namespace vexa32::opcua {

struct UntrustedServer {
  std::string url;  // as the user gave it, with user and query
  crypto::Certificate certificate;
  StatusCode problem = 0;  // BadCertificateUntrusted, ...TimeInvalid, ...HostNameInvalid, ...Revoked, ...
  std::string message;     // what is wrong, as the refusal says it
  // False where trusting would not help or must not be offered (expired, not yet valid, revoked,
  // another application, a weak key): the person is only told why.
  bool can_trust = false;
};

enum class TrustAnswer { Refuse, TrustForSession, Trust };

struct LoginQuestion {
  std::string url;  // as the user gave it
  std::string host, port;
  std::string user;     // empty: the server wants a user and the address names none
  std::string refusal;  // the server's refusal of the last attempt; empty at the first
  int attempt = 1;      // 1 to kMaxLoginAttempts
};

struct LoginAnswer {
  std::string user, password;
  bool remember = false;  // write it to the password file
};

inline constexpr int kMaxLoginAttempts = 3;

class DecisionService {
 public:
  virtual ~DecisionService() = default;
  // Called on the thread that connects (the apartment), while it waits.
  virtual TrustAnswer untrusted_server(const UntrustedServer&) { return TrustAnswer::Refuse; }
  // nullopt: no login (the connection fails as it would without a service).
  virtual std::optional<LoginAnswer> login(const LoginQuestion&) { return std::nullopt; }
};

// The service in force (held while it is asked, so another may be installed meanwhile); nullptr
// restores the default, which refuses.
std::shared_ptr<DecisionService> decision_service();
void set_decision_service(std::shared_ptr<DecisionService> service);

}  // namespace vexa32::opcua
