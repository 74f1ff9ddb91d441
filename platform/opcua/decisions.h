#pragma once
// What the client cannot settle alone, it asks whoever runs it: a server certificate the store
// does not trust, and a login the password file does not hold (the container's question, which
// DCOM nodes ask too). The host installs a service, as it installs the message box: windows ask a
// person, the monitor answers from its flags, Python calls back. Without one the answer is
// "refuse", and the connection fails with its message.

#include <memory>
#include <optional>
#include <string>

#include "platform/container/login_service.h"
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

using vexa32::kMaxLoginAttempts;
using vexa32::LoginAnswer;
using vexa32::LoginQuestion;

// Logins are the container's question (DCOM nodes ask it too); a host answers both with one object.
class DecisionService : public LoginService {
 public:
  // Called on the thread that connects (the apartment), while it waits.
  virtual TrustAnswer untrusted_server(const UntrustedServer&) { return TrustAnswer::Refuse; }
};

// The service in force (held while it is asked, so another may be installed meanwhile); nullptr
// restores the default, which refuses. Installing one installs it as the login service too.
std::shared_ptr<DecisionService> decision_service();
void set_decision_service(std::shared_ptr<DecisionService> service);

}  // namespace vexa32::opcua
