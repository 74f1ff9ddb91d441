#include "platform/dcom/exporter.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "platform/dcom/errors.h"
#include "platform/dcom/machine.h"
#include "platform/dcom/ndr.h"
#include "platform/dcom/rpc_answer.h"

namespace vexa32::dcom {
namespace {

// Fault statuses a Windows exporter gives.
constexpr std::uint32_t kOpRangeError = 0x1C010002u, kUnknownInterface = 0x1C010003u, kAccessDenied = 5;
constexpr std::uint32_t kBadStubData = 0x000006F7u;
// OXID resolver statuses.
constexpr std::uint32_t kInvalidOxid = 1910, kInvalidSet = 1914;
constexpr std::uint16_t kReasonNotSpecified = 0, kAbstractSyntax = 1, kTransferSyntaxes = 2, kAuthType = 8;
constexpr std::uint32_t kPublicRefs = 5;
constexpr std::size_t kMostIids = 1024, kMostPingOids = 1u << 16, kMostPingSets = 1024;

template <typename T>
T random_value() {
  T v{};
  secure_random(&v, sizeof v);
  return v;
}

Guid random_guid() {
  Guid g;
  secure_random(g.bytes.data(), g.bytes.size());
  return g;
}

const Guid& iid_of(std::string_view name) { return interface_info(name).iid; }
const Guid kIUnknown = guid("00000000-0000-0000-C000-000000000046");

// A call refused with a fault status; the connection goes on.
struct Refused {
  std::uint32_t status;
};

DualStringArray bindings(const std::string& binding) {
  DualStringArray out;
  out.strings.push_back({kTowerTcp, binding});
  out.security.push_back({rpc::kAuthNtlm, 0xFFFF, ""});
  return out;
}

}  // namespace

ObjectExporter::ObjectExporter(std::string computer_name, std::chrono::milliseconds ping_life)
    : computer_name_(std::move(computer_name)),
      ping_life_(ping_life),
      oxid_(random_value<std::uint64_t>()),
      rem_unknown_(random_guid()) {}

Guid ObjectExporter::add(const InterfaceInfo& interface, std::string peer, MethodHandler handler,
                         std::optional<NtlmAccount> account) {
  const auto now = std::chrono::steady_clock::now();
  Object o{interface.iid, random_value<std::uint64_t>(), std::move(peer), std::move(handler), std::move(account), now};
  const Guid ipid = random_guid();
  std::lock_guard lock(mutex_);
  collect(now);
  objects_.emplace(ipid, std::move(o));
  return ipid;
}

void ObjectExporter::collect(std::chrono::steady_clock::time_point now) {
  std::erase_if(objects_, [&](const auto& o) { return now - o.second.pinged > ping_life_; });
  std::erase_if(ping_sets_, [&](const auto& s) { return now - s.second.pinged > ping_life_; });
}

void ObjectExporter::keep(const std::vector<std::uint64_t>& oids, std::chrono::steady_clock::time_point now) {
  for (auto& entry : objects_)
    if (std::find(oids.begin(), oids.end(), entry.second.oid) != oids.end()) entry.second.pinged = now;
}

void ObjectExporter::remove(const Guid& ipid) {
  std::lock_guard lock(mutex_);
  objects_.erase(ipid);
}

ObjRef ObjectExporter::objref(const Guid& ipid, const std::string& binding) const {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(ipid);
  if (it == objects_.end()) throw DcomError(status::E_INVALIDARG, "no such object is exported");
  ObjRef out;
  out.kind = OBJREF_STANDARD;
  out.iid = it->second.iid;
  out.std = {0, kPublicRefs, oxid_, it->second.oid, ipid};
  out.resolver = bindings(binding);
  return out;
}

std::optional<ObjectExporter::Target> ObjectExporter::target(const Guid& ipid, const std::string& peer) {
  std::lock_guard lock(mutex_);
  // Only the object called is looked at here (every call back comes this way); the others are
  // collected when objects are added or pinged.
  auto it = objects_.find(ipid);
  if (it != objects_.end() && std::chrono::steady_clock::now() - it->second.pinged > ping_life_) {
    objects_.erase(it);
    it = objects_.end();
  }
  if (it == objects_.end() || it->second.peer != peer) return std::nullopt;
  return Target{it->second.iid, it->second.handler};
}

bool ObjectExporter::serves_interface(const Guid& iid) const {
  std::lock_guard lock(mutex_);
  return std::any_of(objects_.begin(), objects_.end(), [&](const auto& o) { return o.second.iid == iid; });
}

std::vector<NtlmAccount> ObjectExporter::accounts(const std::string& peer) const {
  std::lock_guard lock(mutex_);
  std::vector<NtlmAccount> out;
  for (const auto& entry : objects_) {
    const Object& o = entry.second;
    if (o.peer != peer || !o.account) continue;
    const bool known = std::any_of(out.begin(), out.end(),
                                   [&](const NtlmAccount& a) { return a.response_key == o.account->response_key; });
    if (!known) out.push_back(*o.account);
  }
  return out;
}

std::optional<std::uint64_t> ObjectExporter::complex_ping(std::uint64_t set, const std::vector<std::uint64_t>& add,
                                                          const std::vector<std::uint64_t>& remove) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  collect(now);
  if (set == 0) {
    if (ping_sets_.size() >= kMostPingSets) return std::nullopt;
    set = random_value<std::uint64_t>() | 1;
    ping_sets_[set];
  }
  const auto it = ping_sets_.find(set);
  if (it == ping_sets_.end()) return std::nullopt;
  it->second.pinged = now;
  auto& oids = it->second.oids;
  for (std::uint64_t oid : remove) oids.erase(std::remove(oids.begin(), oids.end(), oid), oids.end());
  // Only our objects' OIDs are kept: a set cannot grow with numbers a caller makes up.
  for (std::uint64_t oid : add) {
    const bool ours = std::any_of(objects_.begin(), objects_.end(), [&](const auto& o) { return o.second.oid == oid; });
    if (ours && std::find(oids.begin(), oids.end(), oid) == oids.end() && oids.size() < kMostPingOids)
      oids.push_back(oid);
  }
  keep(oids, now);
  return set;
}

bool ObjectExporter::simple_ping(std::uint64_t set) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  collect(now);
  const auto it = ping_sets_.find(set);
  if (it == ping_sets_.end()) return false;
  it->second.pinged = now;
  keep(it->second.oids, now);
  return true;
}

ExporterSession::ExporterSession(ObjectExporter& exporter, std::string peer, std::string binding, ExporterLimits limits)
    : exporter_(exporter), peer_(std::move(peer)), binding_(std::move(binding)), limits_(limits) {}

std::string ExporterSession::feed(std::string_view bytes) {
  if (closed()) return {};
  in_.append(bytes);
  std::string out;
  try {
    while (in_.size() >= rpc::kHeaderSize && !closed()) {
      const rpc::Header h = rpc::parse_header(in_, limits_.max_fragment);
      if (in_.size() < h.frag_length) break;
      rpc::Pdu pdu = rpc::split_pdu(in_.substr(0, h.frag_length), limits_.max_fragment);
      in_.erase(0, h.frag_length);
      out += on_pdu(pdu);
    }
  } catch (const DcomError& e) {
    why_closed_ = e.what();
    in_.clear();
  }
  return out;
}

std::string ExporterSession::on_pdu(rpc::Pdu& pdu) {
  switch (pdu.header.type) {
    case rpc::PduType::Bind: return on_bind(pdu, false);
    case rpc::PduType::AlterContext: return on_bind(pdu, true);
    case rpc::PduType::Auth3: on_auth3(pdu); return {};
    case rpc::PduType::Request: return on_request(pdu);
    default:
      throw DcomError(status::RPC_S_PROTOCOL_ERROR,
                      "a caller sent PDU type " + std::to_string(static_cast<int>(pdu.header.type)));
  }
}

std::string ExporterSession::on_bind(const rpc::Pdu& pdu, bool alter) {
  if (!alter && !contexts_.empty()) throw DcomError(status::RPC_S_PROTOCOL_ERROR, "a second bind");
  if (alter && contexts_.empty()) throw DcomError(status::RPC_S_PROTOCOL_ERROR, "alter_context before a bind");
  const rpc::BindOffer offer = rpc::parse_bind(pdu.body());
  auto nak = [&](std::uint16_t reason) {
    std::string body(2, '\0');
    body[0] = static_cast<char>(reason & 0xFF);
    body[1] = static_cast<char>(reason >> 8);
    body.append(2, '\0');  // no protocol versions offered
    why_closed_ = "the bind was refused (reason " + std::to_string(reason) + ")";
    return rpc::build_pdu({rpc::PduType::BindNak, rpc::kFirstFrag | rpc::kLastFrag, 0, 0, pdu.header.call_id}, body,
                          std::nullopt, "");
  };
  std::string challenge;
  if (pdu.trailer && !challenged_) {
    if (pdu.trailer->type != rpc::kAuthNtlm) return nak(kAuthType);
    const rpc::AuthLevel level = pdu.trailer->level;
    if (level != rpc::AuthLevel::Connect && level != rpc::AuthLevel::Integrity && level != rpc::AuthLevel::Privacy)
      return nak(kReasonNotSpecified);
    const auto server_challenge = random_value<std::array<char, 8>>();
    challenge = ntlm_challenge(pdu.auth_value(), std::string_view(server_challenge.data(), server_challenge.size()),
                               exporter_.computer_name(), filetime_now());
    if (level != rpc::AuthLevel::Connect) {
      negotiate_ = pdu.auth_value();
      challenge_ = challenge;
    }
    level_ = level;
    auth_context_ = pdu.trailer->context_id;
    challenged_ = true;
  }
  if (!alter) {
    max_send_ = std::min<std::uint16_t>(offer.max_recv, limits_.max_fragment);
    assoc_group_ = offer.assoc_group ? offer.assoc_group : (random_value<std::uint32_t>() | 1);
  }
  std::vector<rpc::ContextResult> results;
  for (const rpc::OfferedContext& c : offer.contexts) {
    const Guid& iid = c.interface.uuid;
    const bool known = iid == iid_of("IObjectExporter") || iid == iid_of("IRemUnknown") ||
                       iid == iid_of("IRemUnknown2") || exporter_.serves_interface(iid);
    if (!c.ndr) {
      results.push_back({2, kTransferSyntaxes});
    } else if (!known) {
      results.push_back({2, kAbstractSyntax});
    } else {
      contexts_[c.context_id] = iid;
      results.push_back({0, 0});
    }
  }
  const std::string port = binding_.substr(binding_.rfind('[') + 1, binding_.size() - binding_.rfind('[') - 2);
  const std::string body =
      rpc::bind_ack_body(max_send_, limits_.max_fragment, assoc_group_, alter ? std::string() : port, results);
  const rpc::Header h{alter ? rpc::PduType::AlterContextResp : rpc::PduType::BindAck, rpc::kFirstFrag | rpc::kLastFrag,
                      0, 0, pdu.header.call_id};
  if (challenge.empty()) return rpc::build_pdu(h, body, std::nullopt, "");
  return rpc::build_pdu(h, body, rpc::SecurityTrailer{rpc::kAuthNtlm, *level_, 0, auth_context_}, challenge);
}

void ExporterSession::on_auth3(const rpc::Pdu& pdu) {
  if (!challenged_ || !pdu.trailer || !caller_.empty() || !denied_.empty())
    throw DcomError(status::RPC_S_PROTOCOL_ERROR, "an AUTH3 that answers no challenge");
  const NtlmCaller who = read_ntlm_authenticate(pdu.auth_value());
  std::string name = who.domain.empty() ? who.user : who.domain + "\\" + who.user;
  if (name.empty()) name = "\\";  // an anonymous login is a login too
  if (level_ == rpc::AuthLevel::Connect) {
    caller_ = std::move(name);
    return;
  }
  // Signed or sealed: only a caller that proves the password of a login of ours at its address.
  const std::vector<NtlmAccount> accounts = exporter_.accounts(peer_);
  denied_ = accounts.empty() ? name + " was refused: no login of ours at " + peer_ + " to check it against"
                             : name + " was refused";
  for (const NtlmAccount& account : accounts) {
    try {
      security_.emplace(
          NtlmContext::accept(negotiate_, challenge_, pdu.auth_value(), account, level_ == rpc::AuthLevel::Privacy));
      caller_ = std::move(name);
      denied_.clear();
      return;
    } catch (const DcomError& e) {
      denied_ = name + " was refused: " + e.what();
    }
  }
}

// Above "connect", a request is checked (and unsealed) in place before anything past its fixed
// prefix is read; a PDU that fails ends the connection, as the caller's stream is then out of step.
void ExporterSession::check_protection(rpc::Pdu& pdu, std::size_t prefix) {
  if (!pdu.trailer || pdu.trailer->level != *level_ || pdu.trailer->context_id != auth_context_ ||
      pdu.header.auth_length != rpc::kSignatureSize || pdu.body_size < prefix)
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "a request is not protected as its login is");
  rpc::check(pdu, *security_, *level_, rpc::kHeaderSize + prefix);
}

std::string ExporterSession::on_request(rpc::Pdu& pdu) {
  if (contexts_.empty()) throw DcomError(status::RPC_S_PROTOCOL_ERROR, "a request before any bind");
  const std::uint32_t call_id = pdu.header.call_id;
  if (!denied_.empty()) {
    // As Windows answers a refused login: access denied, unsigned, and the connection ends.
    why_closed_ = denied_;
    return rpc::build_pdu({rpc::PduType::Fault, rpc::kFirstFrag | rpc::kLastFrag, 0, 0, call_id},
                          rpc::fault_body(0, kAccessDenied), std::nullopt, "");
  }
  const rpc::RequestPrefix prefix = rpc::parse_request_prefix(pdu.body(), pdu.header.flags & rpc::kObjectUuid);
  if (security_) check_protection(pdu, prefix.size);
  if (challenged_ && caller_.empty()) return fault(call_id, prefix.context_id, kAccessDenied);
  const auto context = contexts_.find(prefix.context_id);
  if (context == contexts_.end()) return fault(call_id, prefix.context_id, kUnknownInterface);
  const std::string_view stub = pdu.body().substr(prefix.size);
  if (pdu.header.flags & rpc::kFirstFrag) {
    partial_ = Partial{call_id, prefix.context_id, prefix.opnum, prefix.object, {}};
    partial_->stub.reserve(std::min<std::size_t>(prefix.alloc_hint, limits_.max_request));
  } else if (!partial_ || partial_->call_id != call_id) {
    throw DcomError(status::RPC_S_PROTOCOL_ERROR, "a fragment of a request that did not begin");
  }
  if (stub.size() > limits_.max_request - partial_->stub.size())
    throw DcomError(status::RPC_S_PROTOCOL_ERROR, "a request larger than " + std::to_string(limits_.max_request));
  partial_->stub.append(stub);
  if (!(pdu.header.flags & rpc::kLastFrag)) return {};
  Partial whole = std::move(*partial_);
  partial_.reset();
  std::string result;
  try {
    result = dispatch(context->second, whole.object, whole.opnum, whole.stub);
  } catch (const Refused& r) {
    return fault(call_id, whole.context_id, r.status);
  } catch (const NdrError&) {
    return fault(call_id, whole.context_id, kBadStubData);
  } catch (const DcomError& e) {
    return fault(call_id, whole.context_id, e.hresult());
  }
  // The answer in fragments the caller takes, each with its own prefix and the verifier (at
  // "connect" the dummy one Windows sends), its body padded to 16 for the trailer.
  const std::size_t overhead =
      rpc::kHeaderSize + rpc::kResponsePrefix + (level_ ? rpc::kTrailerSize + rpc::kSignatureSize + 16 : 0);
  const std::size_t chunk = std::max<std::size_t>(16, (max_send_ - overhead) & ~std::size_t{15});
  std::string out;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(chunk, result.size() - at);
    const bool first = at == 0, last = at + n == result.size();
    std::string body = rpc::response_body(whole.context_id, std::string_view(result).substr(at, n));
    // alloc_hint is what remains, as Windows gives it
    const auto remaining = static_cast<std::uint32_t>(result.size() - at);
    for (int i = 0; i < 4; ++i) body[static_cast<std::size_t>(i)] = static_cast<char>(remaining >> (8 * i));
    out += answer(rpc::PduType::Response, call_id, body, last, first);
    at += n;
  } while (at < result.size());
  return out;
}

std::string ExporterSession::answer(rpc::PduType type, std::uint32_t call_id, std::string_view body, bool last,
                                    bool first) {
  const rpc::Header h{type, static_cast<std::uint8_t>((first ? rpc::kFirstFrag : 0) | (last ? rpc::kLastFrag : 0)), 0,
                      0, call_id};
  // Faults of a signed login go without a verifier: signing one would move our streams on where
  // a caller that gives up on the fault does not follow.
  if (!level_ || (security_ && type == rpc::PduType::Fault)) return rpc::build_pdu(h, body, std::nullopt, "");
  const rpc::SecurityTrailer trailer{rpc::kAuthNtlm, *level_, 0, auth_context_};
  std::string dummy(rpc::kSignatureSize, '\0');
  dummy[0] = 1;  // NTLMSSP_MESSAGE_SIGNATURE version 1, nothing signed
  std::string pdu = rpc::build_pdu(h, body, trailer, dummy, 16, rpc::kResponsePrefix);
  if (security_) rpc::protect(pdu, *security_, *level_, rpc::kHeaderSize + rpc::kResponsePrefix);
  return pdu;
}

std::string ExporterSession::fault(std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status) {
  partial_.reset();
  return answer(rpc::PduType::Fault, call_id, rpc::fault_body(context_id, status));
}

std::string ExporterSession::dispatch(const Guid& iid, const std::optional<Guid>& object, std::uint16_t opnum,
                                      std::string_view stub) {
  if (iid == iid_of("IObjectExporter")) return resolver_call(opnum, stub);
  NdrReader r(stub);
  read_orpcthis(r);
  const std::string_view rest = stub.substr(r.position());
  NdrWriter w;
  write_orpcthat(w, {});
  if (iid == iid_of("IRemUnknown") || iid == iid_of("IRemUnknown2")) {
    if (!object || *object != exporter_.rem_unknown()) throw Refused{status::RPC_E_DISCONNECTED};
    return w.take() + rem_unknown_call(opnum, rest);
  }
  if (!object) throw Refused{kUnknownInterface};
  const auto target = exporter_.target(*object, peer_);
  if (!target) throw Refused{status::RPC_E_DISCONNECTED};
  if (target->iid != iid) throw Refused{kUnknownInterface};
  if (opnum < 3) throw Refused{kOpRangeError};  // IUnknown's own go through IRemUnknown
  return w.take() + target->handler(opnum, rest);
}

std::string ExporterSession::resolver_call(std::uint16_t opnum, std::string_view stub) {
  NdrReader r(stub);
  NdrWriter w;
  switch (opnum) {
    case 0:    // ResolveOxid
    case 4: {  // ResolveOxid2
      const std::uint64_t oxid = r.u64();
      const std::uint16_t count = r.u16();
      if (r.conformance(2) != count) throw NdrError("protocol sequences counted twice differently");
      for (std::uint16_t i = 0; i < count; ++i) r.u16();
      r.expect_end();
      const bool ours = oxid == exporter_.oxid();
      w.unique(ours);
      if (ours) write_dual_string_array(w, bindings(binding_));
      w.guid(ours ? exporter_.rem_unknown() : Guid{});
      w.u32(ours ? 2 : 0);  // the authentication hint: "connect"
      if (opnum == 4) {
        w.u16(5);
        w.u16(7);
      }
      w.u32(ours ? 0 : kInvalidOxid);
      return w.take();
    }
    case 1: {  // SimplePing
      const std::uint64_t set = r.u64();
      r.expect_end();
      w.u32(exporter_.simple_ping(set) ? 0 : kInvalidSet);
      return w.take();
    }
    case 2: {  // ComplexPing
      const std::uint64_t set = r.u64();
      r.u16();  // sequence number
      const std::uint16_t adding = r.u16(), removing = r.u16();
      auto oids = [&](std::uint16_t n) {
        std::vector<std::uint64_t> out;
        if (!r.unique()) {
          if (n) throw NdrError("OIDs counted but not given");
          return out;
        }
        if (r.conformance(8) != n) throw NdrError("OIDs counted twice differently");
        for (std::uint16_t i = 0; i < n; ++i) out.push_back(r.u64());
        return out;
      };
      const auto add = oids(adding);
      const auto remove = oids(removing);
      r.expect_end();
      const auto result = exporter_.complex_ping(set, add, remove);
      w.u64(result.value_or(0));
      w.u16(0);  // no back-off
      w.u32(result ? 0 : kInvalidSet);
      return w.take();
    }
    case 3:  // ServerAlive
      r.expect_end();
      w.u32(0);
      return w.take();
    case 5:  // ServerAlive2
      r.expect_end();
      w.u16(5);
      w.u16(7);
      w.unique(true);
      write_dual_string_array(w, bindings(binding_));
      w.u32(0);
      w.u32(0);
      return w.take();
    default: throw Refused{kOpRangeError};
  }
}

std::string ExporterSession::rem_unknown_call(std::uint16_t opnum, std::string_view stub) {
  NdrReader r(stub);
  NdrWriter w;
  switch (opnum) {
    case 3: {  // RemQueryInterface
      const Guid ipid = r.guid();
      const std::uint32_t refs = r.u32();
      const std::uint16_t count = r.u16();
      if (r.conformance(16) != count || count > kMostIids) throw NdrError("interfaces counted twice differently");
      std::vector<Guid> iids;
      for (std::uint16_t i = 0; i < count; ++i) iids.push_back(r.guid());
      r.expect_end();
      const auto target = exporter_.target(ipid, peer_);
      if (!target) throw Refused{status::RPC_E_DISCONNECTED};
      const ObjRef ref = exporter_.objref(ipid, binding_);
      w.unique(count != 0);
      if (count) {
        w.conformance(count);
        for (const Guid& iid : iids) {
          const bool has = iid == target->iid || iid == kIUnknown;
          w.align(8);
          w.u32(has ? status::S_OK : status::E_NOINTERFACE);
          w.align(8);
          w.u32(0);
          w.u32(has ? refs : 0);
          w.u64(has ? exporter_.oxid() : 0);
          w.u64(has ? ref.std.oid : 0);
          w.guid(has ? ipid : Guid{});
        }
      }
      w.u32(status::S_OK);
      return w.take();
    }
    case 4:    // RemAddRef
    case 5: {  // RemRelease
      const std::uint16_t count = r.u16();
      if (r.conformance(24) != count) throw NdrError("references counted twice differently");
      std::vector<std::uint32_t> results;
      for (std::uint16_t i = 0; i < count; ++i) {
        const Guid ipid = r.guid();
        r.u32();
        r.u32();
        // Our objects live as long as we export them; references only say who holds them.
        results.push_back(exporter_.target(ipid, peer_) ? status::S_OK : status::E_INVALIDARG);
      }
      r.expect_end();
      if (opnum == 4) {
        w.conformance(count);
        for (std::uint32_t hr : results) w.u32(hr);
      }
      w.u32(status::S_OK);
      return w.take();
    }
    default: throw Refused{kOpRangeError};
  }
}

}  // namespace vexa32::dcom
