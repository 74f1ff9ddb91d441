#include "platform/dcom/dcom_node.h"

#include <random>

#include "platform/dcom/activation.h"
#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

constexpr std::uint32_t kInvalidSet = 1914;  // OR_INVALID_SET

Guid random_guid() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  Guid g;
  for (std::size_t i = 0; i < g.bytes.size(); i += 8) {
    const std::uint64_t r = random();
    for (std::size_t b = 0; b < 8; ++b) g.bytes[i + b] = static_cast<std::uint8_t>(r >> (8 * b));
  }
  g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0F) | 0x40);  // version 4
  g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3F) | 0x80);
  return g;
}

std::string orpc_stub(std::string_view parameters) {
  NdrWriter w;
  OrpcThis orpc;
  orpc.cid = random_guid();
  write_orpcthis(w, orpc);
  w.bytes(parameters);
  return w.take();
}

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

std::optional<std::uint16_t> binding_port(const StringBinding& binding) {
  if (binding.tower_id != kTowerTcp) return std::nullopt;
  const auto open = binding.address.rfind('['), close = binding.address.rfind(']');
  if (open == std::string::npos || close != binding.address.size() - 1 || close <= open + 1) return std::nullopt;
  unsigned port = 0;
  for (std::size_t i = open + 1; i < close; ++i) {
    const char c = binding.address[i];
    if (c < '0' || c > '9' || port > 6553) return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

DcomNode::DcomNode(std::string host, std::uint16_t activation_port, NtlmCredentials credentials, DcomOptions options)
    : host_(std::move(host)), port_(activation_port), credentials_(std::move(credentials)), options_(options) {
  activation_ =
      std::make_unique<RpcConnection>(host_, port_, interface_info("IRemoteSCMActivator"), credentials_, options_.rpc);
  // NTLM sends no answer to its last message: a refused login shows at the first call, which is
  // this one (the resolver's ping, as Windows clients begin), not later in the middle of something.
  activation_->call(interface_info("IObjectExporter"), opnum("IObjectExporter", "ServerAlive2"), "");
  pinger_ = std::thread([this] { ping_loop(); });
}

DcomNode::~DcomNode() {
  release_all();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  pinger_.join();
}

int DcomNode::pings() const {
  std::lock_guard lock(mutex_);
  return pings_;
}

DcomNode::Exporter& DcomNode::bind_exporter(std::uint64_t oxid, const DualStringArray& bindings,
                                            const Guid& rem_unknown) {
  auto it = exporters_.find(oxid);
  if (it != exporters_.end()) return it->second;
  // Servers name themselves by NetBIOS name, several addresses or IPv6; the address we dialled,
  // with the port of their TCP binding, is the one that reaches them.
  std::optional<std::uint16_t> port;
  for (const auto& b : bindings.strings) {
    if ((port = binding_port(b))) break;
  }
  if (!port)
    throw DcomError(status::RPC_S_SERVER_UNAVAILABLE,
                    "the object exporter of " + host_ + " names no TCP binding with a port");
  Exporter e;
  e.connection =
      std::make_unique<RpcConnection>(host_, *port, interface_info("IRemUnknown"), credentials_, options_.rpc);
  e.rem_unknown = rem_unknown;
  return exporters_.emplace(oxid, std::move(e)).first->second;
}

DcomNode::Exporter& DcomNode::exporter(std::uint64_t oxid) {
  auto it = exporters_.find(oxid);
  if (it != exporters_.end()) return it->second;
  // An OXID we have not met: the node's resolver says where it is (ResolveOxid2).
  NdrWriter w;
  w.u64(oxid);
  w.u16(1);
  w.align(4);
  w.conformance(1);
  w.u16(kTowerTcp);
  const std::string answer =
      activation_->call(interface_info("IObjectExporter"), opnum("IObjectExporter", "ResolveOxid2"), w.data());
  NdrReader r(answer);
  if (!r.unique()) throw NdrError("ResolveOxid2 answered no bindings");
  const DualStringArray bindings = read_dual_string_array(r);
  const Guid rem_unknown = r.guid();
  r.u32();  // authentication hint
  r.u16();
  r.u16();  // COM version
  r.align(4);
  if (const std::uint32_t error = r.u32())
    throw DcomError(0x80070000u | (error & 0xFFFF),
                    "the resolver of " + host_ + " does not know the OXID (" + hex(error) + ")");
  return bind_exporter(oxid, bindings, rem_unknown);
}

void DcomNode::hold(const RemoteInterface& interface, std::uint32_t public_refs) {
  auto [it, fresh] = held_.emplace(interface.ipid, Held{interface, public_refs});
  if (!fresh) it->second.public_refs += public_refs;
  if (!pinged_.count(interface.oid) && !to_add_.count(interface.oid)) to_add_.insert(interface.oid);
  to_remove_.erase(interface.oid);
}

RemoteInterface DcomNode::create_instance(const Guid& clsid, const Guid& iid) {
  std::lock_guard lock(mutex_);
  OrpcThis orpc;
  orpc.cid = random_guid();
  const std::string answer =
      activation_->call(interface_info("IRemoteSCMActivator"), opnum("IRemoteSCMActivator", "RemoteCreateInstance"),
                        remote_create_instance_request(orpc, clsid, {iid}));
  const ActivationResult result = parse_remote_create_instance_reply(answer);
  if (result.interfaces.size() != 1) throw NdrError("the activation answers for another number of interfaces");
  const ActivatedInterface& got = result.interfaces.front();
  if (got.hresult != status::S_OK || !got.objref)
    throw DcomError(got.hresult ? got.hresult : status::E_NOINTERFACE,
                    "the object of " + format_guid(clsid) + " on " + host_ + " does not give " + format_guid(iid) +
                        " (" + hex(got.hresult) + ")");
  bind_exporter(result.oxid, result.bindings, result.ipid_rem_unknown);
  const StdObjRef& s = got.objref->std;
  RemoteInterface out{iid, s.oxid, s.oid, s.ipid};
  hold(out, s.public_refs);
  update_ping_set();
  return out;
}

RemoteInterface DcomNode::adopt(const ObjRef& objref) {
  std::lock_guard lock(mutex_);
  if (objref.kind != OBJREF_STANDARD) throw NdrError("an object reference that is not a standard one");
  exporter(objref.std.oxid);
  RemoteInterface out{objref.iid, objref.std.oxid, objref.std.oid, objref.std.ipid};
  hold(out, objref.std.public_refs);
  update_ping_set();
  return out;
}

RemoteInterface DcomNode::query_interface(const RemoteInterface& of, const Guid& iid) {
  std::lock_guard lock(mutex_);
  Exporter& e = exporter(of.oxid);
  NdrWriter w;
  w.guid(of.ipid);
  w.u32(5);  // public references asked for, as Windows asks
  w.u16(1);
  w.align(4);
  w.conformance(1);
  w.guid(iid);
  const InterfaceInfo& rem_unknown = interface_info("IRemUnknown");
  const std::string answer =
      e.connection->call(rem_unknown, opnum("IRemUnknown", "RemQueryInterface"), orpc_stub(w.data()), e.rem_unknown);
  NdrReader r(answer);
  read_orpcthat(r);
  StdObjRef std;
  std::uint32_t result = status::E_NOINTERFACE;
  if (r.unique()) {
    if (r.conformance(48) != 1) throw NdrError("RemQueryInterface answered for another number of interfaces");
    r.align(8);
    result = r.hresult();
    r.align(8);  // the STDOBJREF, aligned as its 64-bit members
    std.flags = r.u32();
    std.public_refs = r.u32();
    std.oxid = r.u64();
    std.oid = r.u64();
    std.ipid = r.guid();
  }
  r.align(4);
  const std::uint32_t call_result = r.hresult();
  if (call_result & 0x80000000u || result & 0x80000000u)
    throw DcomError(result & 0x80000000u ? result : call_result,
                    "the object on " + host_ + " does not give " + format_guid(iid) + " (" +
                        hex(result & 0x80000000u ? result : call_result) + ")");
  RemoteInterface out{iid, std.oxid, std.oid, std.ipid};
  hold(out, std.public_refs);
  update_ping_set();
  return out;
}

std::string DcomNode::call(const RemoteInterface& target, const InterfaceInfo& interface, std::uint16_t opnum,
                           std::string_view stub) {
  RpcConnection* connection;
  {
    std::lock_guard lock(mutex_);
    connection = exporter(target.oxid).connection.get();
  }
  const std::string answer = connection->call(interface, opnum, orpc_stub(stub), target.ipid);
  NdrReader r(answer);
  read_orpcthat(r);
  // The rest keeps its alignment only if ORPCTHAT ended on 8; otherwise hand it over as it is.
  return answer.substr(r.position());
}

void DcomNode::release(const RemoteInterface& interface) {
  std::lock_guard lock(mutex_);
  auto it = held_.find(interface.ipid);
  if (it == held_.end()) return;
  const Held held = it->second;
  held_.erase(it);
  auto e = exporters_.find(held.interface.oxid);
  if (e != exporters_.end() && held.public_refs > 0) {
    NdrWriter w;
    w.u16(1);
    w.align(4);
    w.conformance(1);
    w.guid(held.interface.ipid);
    w.u32(held.public_refs);
    w.u32(0);
    try {
      e->second.connection->call(interface_info("IRemUnknown"), opnum("IRemUnknown", "RemRelease"), orpc_stub(w.data()),
                                 e->second.rem_unknown);
    } catch (const DcomError&) {
      // The server gives the references back itself when the object is no longer pinged.
    }
  }
  bool still_held = false;
  for (const auto& [ipid, h] : held_) still_held |= h.interface.oid == held.interface.oid;
  if (!still_held) {
    if (!to_add_.erase(held.interface.oid) && pinged_.count(held.interface.oid)) to_remove_.insert(held.interface.oid);
    try {
      update_ping_set();
    } catch (const DcomError&) {
      // As above: an object nobody pings any more is collected.
    }
  }
}

void DcomNode::release_all() {
  std::vector<RemoteInterface> all;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [ipid, h] : held_) all.push_back(h.interface);
  }
  for (const auto& i : all) release(i);
  std::lock_guard lock(mutex_);
  exporters_.clear();
}

void DcomNode::update_ping_set() {
  if (to_add_.empty() && to_remove_.empty()) return;
  for (int attempt = 0;; ++attempt) {
    NdrWriter w;
    w.u64(set_id_);
    w.u16(++ping_sequence_);
    w.u16(static_cast<std::uint16_t>(to_add_.size()));
    w.u16(static_cast<std::uint16_t>(to_remove_.size()));
    // Parameters, not members of a structure: each array follows its own pointer at once.
    for (const auto* list : {&to_add_, &to_remove_}) {
      w.align(4);
      w.unique(!list->empty());
      if (list->empty()) continue;
      w.conformance(static_cast<std::uint32_t>(list->size()));
      w.align(8);
      for (std::uint64_t oid : *list) w.u64(oid);
    }
    const std::string answer =
        activation_->call(interface_info("IObjectExporter"), opnum("IObjectExporter", "ComplexPing"), w.data());
    NdrReader r(answer);
    const std::uint64_t set = r.u64();
    r.u16();  // back-off factor
    r.align(4);
    const std::uint32_t error = r.u32();
    if (error == kInvalidSet && set_id_ != 0 && attempt == 0) {
      // The server let the set go (it empties sets, or they expired): a new one with all we hold.
      forget_ping_set();
      continue;
    }
    if (error)
      throw DcomError(0x80070000u | (error & 0xFFFF), "ComplexPing at " + host_ + " failed (" + hex(error) + ")");
    set_id_ = set;
    ++pings_;
    for (std::uint64_t oid : to_add_) pinged_.insert(oid);
    for (std::uint64_t oid : to_remove_) pinged_.erase(oid);
    to_add_.clear();
    to_remove_.clear();
    // A server may free a set that has nothing left in it; the next object starts a new one.
    if (pinged_.empty()) set_id_ = 0;
    return;
  }
}

void DcomNode::forget_ping_set() {
  for (std::uint64_t oid : pinged_)
    if (!to_remove_.count(oid)) to_add_.insert(oid);
  to_remove_.clear();
  pinged_.clear();
  set_id_ = 0;
}

std::uint32_t DcomNode::ping_error() const {
  std::lock_guard lock(mutex_);
  return ping_error_;
}

void DcomNode::ping_loop() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, options_.ping_period, [this] { return stopping_; })) {
    if (pinged_.empty() || set_id_ == 0) continue;
    NdrWriter w;
    w.u64(set_id_);
    try {
      const std::string answer =
          activation_->call(interface_info("IObjectExporter"), opnum("IObjectExporter", "SimplePing"), w.data());
      NdrReader r(answer);
      ping_error_ = r.u32();
      ++pings_;
      if (ping_error_ == kInvalidSet) {
        // The server no longer knows the set: its objects may be gone. A new set keeps what is
        // still there; the error stays for whoever checks the node's health.
        forget_ping_set();
        update_ping_set();
      }
    } catch (const DcomError&) {
      // A missed ping costs nothing while the next ones arrive; the server waits three periods.
    }
  }
}

std::string DcomNode::local_address() const {
  std::lock_guard lock(mutex_);
  return activation_ ? activation_->local_address() : std::string();
}
std::string DcomNode::peer_address() const {
  std::lock_guard lock(mutex_);
  return activation_ ? activation_->peer_address() : std::string();
}

}  // namespace vexa32::dcom
