#pragma once
// One TCP connection of connection-oriented DCE/RPC to a server, authenticated with NTLMv2: a
// bind to the first interface with the login, an alter_context for each further one (on the same
// security context), and calls whose requests and answers are cut into fragments that are each signed,
// and sealed at packet privacy. Every answer's verifier is checked before its stub is returned;
// a failed check ends the connection. Blocking, with a time limit on every step, so that a port
// behind a firewall fails in seconds and names itself.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dcom/ids.h"
#include "platform/dcom/ntlm.h"
#include "platform/dcom/rpc_pdu.h"

namespace vexa32::dcom {

struct RpcOptions {
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds call_timeout{15000};  // a bind, and every call
  // Privacy by default; Integrity on request. Nothing below: hardened Windows refuses it, and
  // a login we start is never left unprotected.
  rpc::AuthLevel level = rpc::AuthLevel::Privacy;
  std::uint16_t max_fragment = 5840;   // what we offer to send and to take
  std::size_t max_answer = 32u << 20;  // a reassembled answer
};

// Whether anything takes a TCP connection at host:port within the time; DcomError
// RPC_S_SERVER_UNAVAILABLE, naming them, when nothing does. Asks nothing of what answers.
void check_reachable(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);

class RpcConnection {
 public:
  // Connects to host:port and binds to the interface. DcomError: RPC_S_SERVER_UNAVAILABLE when
  // nothing can be reached there in the connect time, E_ACCESSDENIED for a refused login,
  // E_NOINTERFACE when the server does not offer the interface, a timeout naming host and port.
  RpcConnection(std::string host, std::uint16_t port, const InterfaceInfo& interface, NtlmCredentials credentials,
                RpcOptions options = {});
  ~RpcConnection();
  RpcConnection(const RpcConnection&) = delete;
  RpcConnection& operator=(const RpcConnection&) = delete;

  // Calls a method of the interface (bound by alter_context on first use), with the object (an
  // IPID) where there is one, and returns the answer's stub. A fault throws DcomError with the
  // fault's status; a broken or tampered answer throws and closes the connection.
  std::string call(const InterfaceInfo& interface, std::uint16_t opnum, std::string_view stub,
                   const std::optional<Guid>& object = std::nullopt);

  const std::string& host() const noexcept { return host_; }
  std::uint16_t port() const noexcept { return port_; }
  // "host:port"
  std::string where() const;
  bool usable() const;
  // The addresses of the connection's two ends as text ("" when closed): ours is where a server
  // reaches us back.
  std::string local_address() const;
  std::string peer_address() const;
  void close();

 private:
  struct Context {  // a presentation context: one interface
    std::uint16_t id = 0;
    std::uint64_t calls = 0;  // answered ones
  };
  Context& context_for(const InterfaceInfo& interface);
  void bind(const InterfaceInfo& interface, bool alter);
  void send_all(std::string_view bytes, std::chrono::steady_clock::time_point deadline, const char* step);
  rpc::Pdu receive(std::chrono::steady_clock::time_point deadline, const char* step);
  [[noreturn]] void fail(std::uint32_t hresult, const std::string& why);

  std::string host_;
  std::uint16_t port_;
  NtlmCredentials credentials_;
  RpcOptions options_;
  int fd_ = -1;
  std::uint16_t max_send_ = 0, max_receive_ = 0;
  std::uint32_t assoc_group_ = 0, next_call_ = 1;
  std::unique_ptr<NtlmContext> security_;  // the login, made with the bind
  std::map<Guid, Context> contexts_;       // by interface id
  mutable std::mutex mutex_;
};

}  // namespace vexa32::dcom
