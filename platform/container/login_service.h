#pragma once
// A login the password file does not hold is asked of whoever runs the control: windows ask a
// person, the monitor refuses, Python calls back. UA servers' users and DCOM nodes' Windows users
// are asked alike. Without a service the answer is "none", and the connection fails with its
// message, which names the password file.

#include <memory>
#include <optional>
#include <string>

namespace vexa32 {

struct LoginQuestion {
  std::string url;  // the address or node as the user gave it
  std::string host, port;
  std::string user;     // empty: the server wants a user and the address names none
  std::string refusal;  // the server's refusal of the last attempt; empty at the first
  int attempt = 1;      // 1 to kMaxLoginAttempts
  // A Windows account of a DCOM node ("DOMAIN\user" or "user"), not a user of a UA server.
  bool windows_user = false;
};

struct LoginAnswer {
  std::string user, password;
  bool remember = false;  // write it to the password file
};

inline constexpr int kMaxLoginAttempts = 3;

class LoginService {
 public:
  virtual ~LoginService() = default;
  // Called on the thread that connects (the apartment), while it waits. nullopt: no login.
  virtual std::optional<LoginAnswer> login(const LoginQuestion&) { return std::nullopt; }
};

// The service in force (held while it is asked, so another may be installed meanwhile); nullptr
// restores the default, which gives no login.
std::shared_ptr<LoginService> login_service();
void set_login_service(std::shared_ptr<LoginService> service);

}  // namespace vexa32
