#pragma once
// Our object exporter: the objects a server calls back on, our OXID and its resolver, IRemUnknown
// for our objects, and the sessions that take a server's calls. Nothing of OPC here: an object
// is one interface and what answers its methods.
//
// Who may call: an object answers only callers from the address it was exported to, and only
// while it is exported; everything else is refused with the fault a Windows exporter gives
// (RPC_E_DISCONNECTED for an object it does not have). OXIDs, OIDs and IPIDs are random, from
// OpenSSL's generator. A caller authenticates with NTLM at level "connect" (as servers call back,
// under an account we cannot check without its domain controller) or not at all; at packet
// integrity or privacy it must prove the password of the account our own connection to its
// address logged in with, and every PDU is then checked (and unsealed) before it is read, and
// signed (and sealed) going back.
//
// A session has no socket: it takes the caller's bytes and gives what goes back, so a fuzzer
// drives it as a listener does. Every length and count is checked before anything is decoded.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dcom/guid.h"
#include "platform/dcom/ids.h"
#include "platform/dcom/ntlm.h"
#include "platform/dcom/orpc.h"
#include "platform/dcom/rpc_pdu.h"

namespace vexa32::dcom {

// Answers one method of an exported object: its operation number and the stub after ORPCTHIS;
// gives the stub after ORPCTHAT, the method's HRESULT included. A DcomError faults the call with
// its HRESULT.
using MethodHandler = std::function<std::string(std::uint16_t opnum, std::string_view stub)>;

struct ExporterLimits {
  std::uint16_t max_fragment = 5840;
  std::size_t max_request = 4u << 20;  // a request put together from its fragments
};

class ObjectExporter {  // thread-safe
 public:
  // `ping_life`: how long an object or ping set lives without a ping (three periods of two
  // minutes, as Windows counts).
  explicit ObjectExporter(std::string computer_name = "VEXA32",
                          std::chrono::milliseconds ping_life = std::chrono::minutes(6));
  ObjectExporter(const ObjectExporter&) = delete;
  ObjectExporter& operator=(const ObjectExporter&) = delete;

  std::uint64_t oxid() const { return oxid_; }
  const Guid& rem_unknown() const { return rem_unknown_; }
  const std::string& computer_name() const { return computer_name_; }

  // A new object with the interface, which only callers from `peer` (an IP address as text) may
  // call: its IPID. `account`: the login our connection to that peer uses, whose callers at
  // packet integrity or privacy can be checked.
  Guid add(const InterfaceInfo& interface, std::string peer, MethodHandler handler,
           std::optional<NtlmAccount> account = std::nullopt);
  // Gone: calls to it are refused from now on.
  void remove(const Guid& ipid);
  // The reference a server is given: OBJREF_STANDARD with our OXID, the object's OID and IPID,
  // five public references and our resolver at `binding` ("address[port]"), NTLM as security.
  ObjRef objref(const Guid& ipid, const std::string& binding) const;

  // For the sessions: the object's interface and handler when `peer` may call it. An object that
  // no ping kept alive for the ping life is collected first: a server that stopped pinging it
  // no longer holds it.
  struct Target {
    Guid iid;
    MethodHandler handler;
  };
  std::optional<Target> target(const Guid& ipid, const std::string& peer);
  bool serves_interface(const Guid& iid) const;
  // The accounts of the objects exported to `peer`, each once.
  std::vector<NtlmAccount> accounts(const std::string& peer) const;
  // The ping sets servers keep of our objects: a new or known set id, after adding and removing
  // OIDs; nullopt for a set we do not know (OR_INVALID_SET). A ping keeps the set and its
  // objects alive; sets not pinged for the ping life are dropped, and no more than a bounded
  // number are kept (a caller that only makes new ones gets OR_INVALID_SET).
  std::optional<std::uint64_t> complex_ping(std::uint64_t set, const std::vector<std::uint64_t>& add,
                                            const std::vector<std::uint64_t>& remove);
  bool simple_ping(std::uint64_t set);

 private:
  struct Object {
    Guid iid;
    std::uint64_t oid = 0;
    std::string peer;
    MethodHandler handler;
    std::optional<NtlmAccount> account;
    std::chrono::steady_clock::time_point pinged;  // or exported
  };
  void collect(std::chrono::steady_clock::time_point now);  // with the lock held
  void keep(const std::vector<std::uint64_t>& oids, std::chrono::steady_clock::time_point now);

  std::string computer_name_;
  std::chrono::milliseconds ping_life_;
  std::uint64_t oxid_;
  Guid rem_unknown_;
  mutable std::mutex mutex_;
  std::map<Guid, Object> objects_;
  struct PingSet {
    std::vector<std::uint64_t> oids;
    std::chrono::steady_clock::time_point pinged;
  };
  std::map<std::uint64_t, PingSet> ping_sets_;
};

// One connection from a caller.
class ExporterSession {
 public:
  // `peer`: the caller's address; `binding`: our resolver's string binding, for ServerAlive2 and
  // ResolveOxid2.
  ExporterSession(ObjectExporter& exporter, std::string peer, std::string binding, ExporterLimits limits = {});

  // The caller's bytes as they come; what goes back (empty while a PDU is incomplete). Once
  // closed(), nothing more is taken and the connection is to be closed.
  std::string feed(std::string_view bytes);
  bool closed() const { return !why_closed_.empty(); }
  const std::string& why_closed() const { return why_closed_; }
  // Who the caller said it is, once its AUTHENTICATE came ("DOMAIN\user"); empty without one.
  const std::string& caller() const { return caller_; }

 private:
  std::string on_pdu(rpc::Pdu& pdu);
  std::string on_bind(const rpc::Pdu& pdu, bool alter);
  std::string on_request(rpc::Pdu& pdu);
  std::string dispatch(const Guid& iid, const std::optional<Guid>& object, std::uint16_t opnum, std::string_view stub);
  std::string resolver_call(std::uint16_t opnum, std::string_view stub);
  std::string rem_unknown_call(std::uint16_t opnum, std::string_view stub);
  void on_auth3(const rpc::Pdu& pdu);
  void check_protection(rpc::Pdu& pdu, std::size_t prefix);
  std::string answer(rpc::PduType type, std::uint32_t call_id, std::string_view body, bool last = true,
                     bool first = true);
  std::string fault(std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status);

  ObjectExporter& exporter_;
  std::string peer_, binding_;
  ExporterLimits limits_;
  std::string in_;
  std::string why_closed_;
  std::uint16_t max_send_ = 1024;
  std::uint32_t assoc_group_ = 0;
  std::map<std::uint16_t, Guid> contexts_;
  // NTLM: the level the bind asked for, then who the caller is; above "connect" the messages
  // and the context, or why the login was refused.
  std::optional<rpc::AuthLevel> level_;
  std::uint32_t auth_context_ = 0;
  bool challenged_ = false;
  std::string caller_;
  std::string negotiate_, challenge_;
  std::optional<NtlmContext> security_;
  std::string denied_;
  // A request arriving in fragments.
  struct Partial {
    std::uint32_t call_id = 0;
    std::uint16_t context_id = 0, opnum = 0;
    std::optional<Guid> object;
    std::string stub;
  };
  std::optional<Partial> partial_;
};

}  // namespace vexa32::dcom
