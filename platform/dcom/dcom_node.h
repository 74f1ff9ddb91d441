#pragma once
// The DCOM client runtime for one node and one login: activation through the node's
// IRemoteSCMActivator, one authenticated connection per object exporter (OXID), interfaces
// asked for and released through IRemUnknown, and the ping set that keeps every object we hold
// alive at the server. Calls carry ORPCTHIS and come back without ORPCTHAT.
//
// Blocking, like the RPC connections under it; a thread of its own pings. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dcom/guid.h"
#include "platform/dcom/ids.h"
#include "platform/dcom/ntlm.h"
#include "platform/dcom/orpc.h"
#include "platform/dcom/rpc_connection.h"

namespace vexa32::dcom {

struct DcomOptions {
  RpcOptions rpc;
  // SimplePing this often; a server collects what was not pinged for three periods.
  std::chrono::milliseconds ping_period{120000};
};

// One interface of a remote object.
struct RemoteInterface {
  Guid iid;
  std::uint64_t oxid = 0, oid = 0;
  Guid ipid;
};

class DcomNode {
 public:
  // Connects to the node's activation port (135 unless given) as the user and asks its resolver
  // whether it is alive. DcomError as RpcConnection says when the node cannot be reached or
  // refuses the login (E_ACCESSDENIED).
  DcomNode(std::string host, std::uint16_t activation_port, NtlmCredentials credentials, DcomOptions options = {});
  // The login the node took.
  const NtlmCredentials& credentials() const { return credentials_; }
  // Releases everything still held.
  ~DcomNode();
  DcomNode(const DcomNode&) = delete;
  DcomNode& operator=(const DcomNode&) = delete;

  // Creates an object of the class and returns its interface iid. DcomError with the server's
  // HRESULT: REGDB_E_CLASSNOTREG for a class the node does not have, E_NOINTERFACE, E_ACCESSDENIED.
  RemoteInterface create_instance(const Guid& clsid, const Guid& iid);
  // Another interface of the same object (RemQueryInterface); DcomError E_NOINTERFACE when it has none.
  RemoteInterface query_interface(const RemoteInterface& of, const Guid& iid);
  // An object reference that came in a call's answer, held from now on (its public references
  // are ours to release).
  RemoteInterface adopt(const ObjRef& objref);
  // Calls a method; `stub` and the result are the parameters after ORPCTHIS and ORPCTHAT.
  std::string call(const RemoteInterface& target, const InterfaceInfo& interface, std::uint16_t opnum,
                   std::string_view stub);
  // Gives back our references to the interface (RemRelease); the object goes from the ping set
  // when none of its interfaces is held any more. Errors are the server's to keep: swallowed.
  void release(const RemoteInterface& interface);
  // Releases every interface and empties the ping set; the connections close.
  void release_all();

  const std::string& host() const noexcept { return host_; }
  // Our address as the node sees it (where it can call us back), and the node's address.
  std::string local_address() const;
  std::string peer_address() const;
  // Pings sent so far (complex and simple), for tests.
  int pings() const;
  // What the last SimplePing answered: 0, or OR_INVALID_SET (1914) when the server had let our
  // ping set go (and with it, maybe, the objects we hold; the set was made again with them).
  std::uint32_t ping_error() const;

 private:
  struct Exporter {
    std::unique_ptr<RpcConnection> connection;
    Guid rem_unknown;  // the IPID of its IRemUnknown
  };
  struct Held {
    RemoteInterface interface;
    std::uint32_t public_refs = 0;
  };
  Exporter& exporter(std::uint64_t oxid);
  Exporter& bind_exporter(std::uint64_t oxid, const DualStringArray& bindings, const Guid& rem_unknown);
  void hold(const RemoteInterface& interface, std::uint32_t public_refs);
  void update_ping_set();  // ComplexPing with what changed; mutex_ held
  void forget_ping_set();  // a set the server let go: everything held goes into the next one
  void ping_loop();

  std::string host_;
  std::uint16_t port_;
  NtlmCredentials credentials_;
  DcomOptions options_;
  std::unique_ptr<RpcConnection> activation_;
  std::map<std::uint64_t, Exporter> exporters_;  // by OXID
  std::map<Guid, Held> held_;                    // by IPID
  std::set<std::uint64_t> pinged_, to_add_, to_remove_;
  std::uint64_t set_id_ = 0;
  std::uint16_t ping_sequence_ = 0;
  int pings_ = 0;
  std::uint32_t ping_error_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread pinger_;
};

// The port of a string binding "host[port]" (tower 7); nullopt when it names none.
std::optional<std::uint16_t> binding_port(const StringBinding& binding);

}  // namespace vexa32::dcom
