// Our object exporter's sessions, driven with PDUs as a server calling back sends them: a bind
// with NTLM at "connect", the resolver, IRemUnknown and an exported object; then what a hostile
// caller sends.

#include "platform/dcom/exporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "platform/dcom/errors.h"
#include "platform/dcom/exporter_listener.h"
#include "platform/dcom/ndr.h"
#include "platform/dcom/rpc_answer.h"

namespace vexa32::dcom {
namespace {

const InterfaceInfo kEcho{"IEchoForTests", guid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"), 0, 0, 3, {"Echo"}};
const std::string kServer = "10.1.2.3", kBinding = "10.9.8.7[4711]";

const NtlmCredentials kServerAccount{"PLANT", "opcserver", "whatever", "PLC-WIN"};

// A caller: binds, authenticates (at "connect" unless told) and calls; answers come back split
// into PDUs, checked and unsealed above "connect".
struct Caller {
  explicit Caller(ExporterSession& s, const NtlmCredentials& login = kServerAccount, bool privacy = false)
      : session(s), ntlm(login, [&] {
          NtlmOptions o;
          o.privacy = privacy;
          return o;
        }()) {}

  std::vector<rpc::Pdu> send(const std::string& bytes) {
    std::string back = session.feed(bytes);
    std::vector<rpc::Pdu> out;
    while (!back.empty()) {
      const rpc::Header h = rpc::parse_header(back, 65535);
      out.push_back(rpc::split_pdu(back.substr(0, h.frag_length), 65535));
      back.erase(0, h.frag_length);
    }
    return out;
  }
  rpc::Pdu bind(const Guid& iid, rpc::AuthLevel at = rpc::AuthLevel::Connect) {
    level = at;
    rpc::BindRequest r;
    r.max_recv = max_recv;
    r.interface = {iid, 0, 0};
    const auto back =
        send(rpc::build_pdu({rpc::PduType::Bind, rpc::kFirstFrag | rpc::kLastFrag, 0, 0, 1}, rpc::bind_body(r),
                            rpc::SecurityTrailer{rpc::kAuthNtlm, level, 0, 7}, ntlm.negotiate()));
    EXPECT_EQ(back.size(), 1u);
    return back.empty() ? rpc::Pdu{} : back.front();
  }
  void authenticate(const rpc::Pdu& ack) {
    const std::string auth3 = ntlm.authenticate(ack.auth_value());
    EXPECT_TRUE(send(rpc::build_pdu({rpc::PduType::Auth3, rpc::kFirstFrag | rpc::kLastFrag, 0, 0, 1},
                                    std::string(4, '\0'), rpc::SecurityTrailer{rpc::kAuthNtlm, level, 0, 7}, auth3))
                    .empty());
  }
  // The answer's stub, or the fault status as a negative number's stand-in (nullopt, status set).
  std::optional<std::string> call(std::uint16_t opnum, const std::string& stub, std::optional<Guid> object = {},
                                  std::uint8_t flags = rpc::kFirstFrag | rpc::kLastFrag) {
    const std::string prefix = rpc::request_prefix(static_cast<std::uint32_t>(stub.size()), 0, opnum, object);
    const rpc::Header h{rpc::PduType::Request, static_cast<std::uint8_t>(flags | (object ? rpc::kObjectUuid : 0)), 0, 0,
                        ++call_id};
    std::string request;
    if (level == rpc::AuthLevel::Connect) {
      request = rpc::build_pdu(h, prefix + stub, std::nullopt, "");
    } else {
      request = rpc::build_pdu(h, prefix + stub, rpc::SecurityTrailer{rpc::kAuthNtlm, level, 0, 7},
                               std::string(16, '\0'), 16, prefix.size());
      rpc::protect(request, ntlm, level, rpc::kHeaderSize + prefix.size());
      if (tamper) request[rpc::kHeaderSize + prefix.size()] ^= 1;
    }
    const auto back = send(request);
    if (back.empty()) return std::nullopt;
    std::string out;
    for (rpc::Pdu p : back) {
      if (p.header.type == rpc::PduType::Fault) {
        fault = rpc::fault_status(p.body());
        return std::nullopt;
      }
      if (level != rpc::AuthLevel::Connect) rpc::check(p, ntlm, level, rpc::kHeaderSize + rpc::kResponsePrefix);
      out += std::string(p.body().substr(rpc::kResponsePrefix));
    }
    return out;
  }

  ExporterSession& session;
  NtlmContext ntlm;
  rpc::AuthLevel level = rpc::AuthLevel::Connect;
  std::uint16_t max_recv = 5840;
  bool tamper = false;  // one bit of the next stub changed after signing
  std::uint32_t call_id = 1, fault = 0;
};

std::string orpcthis() {
  NdrWriter w;
  write_orpcthis(w, {});
  return w.take();
}

TEST(ObjectExporter, AServerResolvesUsFindsTheObjectAndCallsIt) {
  ObjectExporter exporter;
  std::string got;
  const Guid ipid = exporter.add(kEcho, kServer, [&](std::uint16_t opnum, std::string_view stub) {
    got = std::to_string(opnum) + ":" + std::string(stub);
    return std::string(stub) + std::string(4, '\0');
  });
  const ObjRef ref = exporter.objref(ipid, kBinding);
  EXPECT_EQ(ref.std.oxid, exporter.oxid());
  EXPECT_EQ(ref.resolver.strings.front().address, kBinding);

  // The resolver, as the server's machine asks it: our bindings and IRemUnknown.
  ExporterSession resolver(exporter, kServer, kBinding);
  Caller r(resolver);
  const rpc::Pdu ack = r.bind(interface_info("IObjectExporter").iid);
  ASSERT_EQ(ack.header.type, rpc::PduType::BindAck);
  EXPECT_EQ(rpc::parse_bind_ack(ack.body()).secondary_address, "4711");
  r.authenticate(ack);
  EXPECT_EQ(resolver.caller(), "PLANT\\opcserver");
  auto resolve = [&](std::uint64_t oxid) {
    NdrWriter w;
    w.u64(oxid);
    w.u16(1);
    w.conformance(1);
    w.u16(kTowerTcp);
    return r.call(4, w.take());
  };
  const auto answer = resolve(exporter.oxid());
  ASSERT_TRUE(answer);
  NdrReader a(*answer);
  ASSERT_TRUE(a.unique());
  EXPECT_EQ(read_dual_string_array(a).strings.front().address, kBinding);
  EXPECT_EQ(a.guid(), exporter.rem_unknown());
  a.u32();
  a.u16();
  a.u16();
  EXPECT_EQ(a.u32(), 0u);
  const auto unknown = resolve(exporter.oxid() + 1);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(NdrReader::little<std::uint32_t>(unknown->data() + unknown->size() - 4), 1910u);  // OR_INVALID_OXID

  // The object itself, on a connection of its own, in three fragments.
  ExporterSession calls(exporter, kServer, kBinding);
  Caller c(calls);
  c.authenticate(c.bind(kEcho.iid));
  const std::string stub = orpcthis() + std::string(3000, 'x');
  const std::size_t third = stub.size() / 3;
  EXPECT_FALSE(c.call(3, stub.substr(0, third), ipid, rpc::kFirstFrag));
  --c.call_id;
  EXPECT_FALSE(c.call(3, stub.substr(third, third), ipid, 0));
  --c.call_id;
  const auto echoed = c.call(3, stub.substr(2 * third), ipid, rpc::kLastFrag);
  ASSERT_TRUE(echoed) << calls.why_closed();
  EXPECT_EQ(got, "3:" + std::string(3000, 'x'));
  EXPECT_EQ(echoed->substr(echoed->size() - 3004), std::string(3000, 'x') + std::string(4, '\0'));
}

TEST(ObjectExporter, WhatAHostileCallerSendsIsRefusedAndNothingReachesTheObject) {
  ObjectExporter exporter;
  int calls = 0;
  const Guid ipid = exporter.add(kEcho, kServer, [&](std::uint16_t, std::string_view) {
    ++calls;
    return std::string(4, '\0');
  });
  const Guid gone = exporter.add(kEcho, kServer, [&](std::uint16_t, std::string_view) {
    ++calls;
    return std::string(4, '\0');
  });
  exporter.remove(gone);
  const std::string call = orpcthis() + "abcd";
  const struct {
    const char* label;
    std::string peer;
    std::function<void(Caller&)> act;
    std::uint32_t fault;  // 0: the session is closed instead
  } rows[] = {
      {"an IPID never exported", kServer, [&](Caller& c) { c.call(3, call, Guid{}); }, status::RPC_E_DISCONNECTED},
      {"an object removed", kServer, [&](Caller& c) { c.call(3, call, gone); }, status::RPC_E_DISCONNECTED},
      {"a caller from another address", "10.6.6.6", [&](Caller& c) { c.call(3, call, ipid); },
       status::RPC_E_DISCONNECTED},
      {"IUnknown's own methods", kServer, [&](Caller& c) { c.call(1, call, ipid); }, 0x1C010002u},
      {"a stub cut short", kServer, [&](Caller& c) { c.call(3, call.substr(0, 20), ipid); }, 0x6F7u},
      {"bytes that are no PDU", kServer, [&](Caller& c) { c.send(std::string(64, '\x17')); }, 0},
      {"a fragment length past the limit", kServer,
       [&](Caller& c) {
         std::string big = rpc::build_pdu({rpc::PduType::Request, 3, 0, 0, 9}, std::string(32, 'x'), std::nullopt, "");
         big[8] = '\xff';
         big[9] = '\xff';
         c.send(big);
       },
       0},
      {"a fragment of a request that never began", kServer, [&](Caller& c) { c.call(3, call, ipid, rpc::kLastFrag); },
       0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ExporterSession session(exporter, row.peer, kBinding, ExporterLimits{5840, 1u << 16});
    Caller c(session);
    c.authenticate(c.bind(kEcho.iid));
    c.fault = 0;
    row.act(c);
    EXPECT_EQ(c.fault, row.fault);
    EXPECT_EQ(session.closed(), row.fault == 0) << session.why_closed();
  }
  EXPECT_EQ(calls, 0);

  // Before its AUTH3 a caller is refused; a bind at a level no server calls back at is refused.
  ExporterSession early(exporter, kServer, kBinding);
  Caller e(early);
  e.bind(kEcho.iid);
  EXPECT_FALSE(e.call(3, call, ipid));
  EXPECT_EQ(e.fault, 5u);
  ExporterSession packet(exporter, kServer, kBinding);
  EXPECT_EQ(Caller(packet).bind(kEcho.iid, static_cast<rpc::AuthLevel>(4)).header.type, rpc::PduType::BindNak);
  EXPECT_EQ(calls, 0);

  // A caller that only makes ping sets is cut off at a bound; the sets made stay usable.
  const auto first = exporter.complex_ping(0, {1}, {});
  ASSERT_TRUE(first);
  int made = 1;
  while (exporter.complex_ping(0, {}, {}) && made < 100000) ++made;
  EXPECT_EQ(made, 1024);
  EXPECT_TRUE(exporter.simple_ping(*first));
  EXPECT_FALSE(exporter.simple_ping(*first + 2));
}

// Objects live while a server pings them: one left out of every ping set is collected after the
// ping life, and calls to it are refused as to any object we do not have.
TEST(ObjectExporter, AnObjectNoServerPingsIsCollected) {
  ObjectExporter exporter("VEXA32", std::chrono::milliseconds(300));
  auto echo = [](std::uint16_t, std::string_view) { return std::string(4, '\0'); };
  const Guid pinged = exporter.add(kEcho, kServer, echo), forgotten = exporter.add(kEcho, kServer, echo);
  const auto set = exporter.complex_ping(0, {exporter.objref(pinged, kBinding).std.oid}, {});
  ASSERT_TRUE(set);
  for (int i = 0; i < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(exporter.simple_ping(*set));
  }
  EXPECT_TRUE(exporter.target(pinged, kServer));
  EXPECT_FALSE(exporter.target(forgotten, kServer));
  ExporterSession session(exporter, kServer, kBinding);
  Caller c(session);
  c.authenticate(c.bind(kEcho.iid));
  EXPECT_FALSE(c.call(3, orpcthis(), forgotten));
  EXPECT_EQ(c.fault, status::RPC_E_DISCONNECTED);
}

// Signed or sealed calls back are taken from a caller that proves the password of the login our
// connection to its address uses, and are checked PDU by PDU; the answers go back signed (and
// sealed). Anyone else is refused at the first call, and so is a PDU changed on the way.
TEST(ObjectExporter, SignedOrSealedCallsAreTakenOnlyUnderOurLoginAndChecked) {
  const NtlmCredentials ours{"VEXATEST", "tester", "Vexa-Test-1", "PLC-WIN"};
  ObjectExporter exporter;
  int calls = 0;
  const Guid ipid = exporter.add(
      kEcho, kServer,
      [&](std::uint16_t, std::string_view stub) {
        ++calls;
        return std::string(stub) + std::string(4, '\0');
      },
      NtlmAccount{ours.domain, ours.user, ntowf_v2(ours.domain, ours.user, ours.password)});
  const Guid elsewhere = exporter.add(kEcho, "10.6.6.6", [&](std::uint16_t, std::string_view) {
    ++calls;
    return std::string(4, '\0');
  });
  NtlmCredentials wrong_password = ours;
  wrong_password.password += "!";
  const std::string stub = orpcthis() + std::string(3000, 'v');
  const struct {
    const char* label;
    rpc::AuthLevel level;
    NtlmCredentials login;
    std::string peer;
    bool tamper;
    bool taken;
  } rows[] = {
      {"our login, signed", rpc::AuthLevel::Integrity, ours, kServer, false, true},
      {"our login, sealed", rpc::AuthLevel::Privacy, ours, kServer, false, true},
      {"the server's own account", rpc::AuthLevel::Integrity, kServerAccount, kServer, false, false},
      {"our user name with another password", rpc::AuthLevel::Privacy, wrong_password, kServer, false, false},
      {"an address we have no login at", rpc::AuthLevel::Integrity, ours, "10.6.6.6", false, false},
      {"a stub changed after signing", rpc::AuthLevel::Integrity, ours, kServer, true, false},
      {"a stub changed after sealing", rpc::AuthLevel::Privacy, ours, kServer, true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ExporterSession session(exporter, row.peer, kBinding);
    Caller c(session, row.login, row.level == rpc::AuthLevel::Privacy);
    c.max_recv = 1024;  // answers in several fragments
    const rpc::Pdu ack = c.bind(kEcho.iid, row.level);
    ASSERT_EQ(ack.header.type, rpc::PduType::BindAck);
    c.authenticate(ack);
    c.tamper = row.tamper;
    const int before = calls;
    const auto answer = c.call(3, stub, row.peer == kServer ? ipid : elsewhere);
    EXPECT_EQ(answer.has_value(), row.taken) << session.why_closed();
    EXPECT_EQ(calls - before, row.taken ? 1 : 0);
    EXPECT_EQ(session.closed(), !row.taken);
    if (row.taken) {
      EXPECT_EQ(answer->substr(answer->size() - 3004), std::string(3000, 'v') + std::string(4, '\0'));
      EXPECT_EQ(session.caller(), "VEXATEST\\tester");
      EXPECT_TRUE(c.call(3, stub, ipid)) << "the streams stay in step";
    } else if (!row.tamper) {
      EXPECT_EQ(c.fault, 5u);
    }
  }
}

// impacket's RPC client, which works against Windows, resolves our OXID through the listener
// and calls the object at "connect", as a server calls back; then sends what a hostile caller
// sends (an unknown OXID and IPID, bytes that are no PDU, a huge fragment length), none of which
// reaches the object, and the object still answers; once removed, it is refused.
TEST(ObjectExporter, ImpacketsClientResolvesUsAndCallsTheObjectThroughTheListener) {
  if (std::system("/usr/bin/python3 -c 'import impacket' 2>/dev/null") != 0)
    GTEST_SKIP() << "impacket is not installed";
  ObjectExporter exporter;
  std::vector<std::string> got;
  const Guid ipid = exporter.add(kEcho, "127.0.0.1", [&](std::uint16_t, std::string_view stub) {
    got.emplace_back(stub);
    return std::string(stub) + std::string(4, '\0');
  });
  ExporterListener listener(exporter);
  char oxid[32];
  std::snprintf(oxid, sizeof oxid, "%llx", static_cast<unsigned long long>(exporter.oxid()));
  auto run = [&](const char* mode) {
    const std::string command = "/usr/bin/python3 " VEXA32_SOURCE_DIR "/tests/platform/dcom/exporter_caller.py " +
                                std::to_string(listener.port()) + " " + oxid + " " + format_guid(ipid) + " " +
                                format_guid(kEcho.iid) + " " + mode + " 2>&1";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, p)) out += line;
      EXPECT_EQ(::pclose(p), 0) << out;
    }
    return out;
  };
  const std::string out = run("hostile");
  const std::vector<std::string> lines = {"ServerAlive2 5.7",
                                          "ResolveOxid2 tower 7 127.0.0.1[" + std::to_string(listener.port()) + "]",
                                          "unknown OXID: status 1910",
                                          "Echo ping",
                                          "unknown IPID: ",
                                          "malformed PDU closed: True",
                                          "huge fragment closed: True",
                                          "Echo again ping"};
  for (const std::string& line : lines) EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  EXPECT_EQ(got, (std::vector<std::string>{"ping", "ping"}));
  exporter.remove(ipid);
  EXPECT_NE(run("gone").find("gone: "), std::string::npos);
  EXPECT_EQ(got.size(), 2u);
}

}  // namespace
}  // namespace vexa32::dcom
