// Whatever a caller sends our object exporter: refused, faulted or answered, the session closed
// when it must; nothing else may happen, and nothing reaches an object that was not exported to
// that caller. The first byte picks the session: fresh (the input is the whole conversation) or
// already bound, at "connect" or signed under the object's login, to the resolver, IRemUnknown or
// an exported object; the second how the input is cut into the reads a socket would give.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/dcom/errors.h"
#include "platform/dcom/exporter.h"

using namespace vexa32::dcom;

namespace {

const InterfaceInfo kEcho{"IEchoForFuzzing", guid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"), 0, 0, 3, {"Echo"}};

const NtlmCredentials kLogin{"VEXATEST", "tester", "Vexa-Test-1", "PLC-WIN"};

void bind(ExporterSession& session, const Guid& iid, bool signed_calls) {
  NtlmOptions options;
  options.privacy = false;
  NtlmContext ntlm(signed_calls ? kLogin : NtlmCredentials{"PLANT", "opcserver", "whatever", "PLC-WIN"}, options);
  const rpc::AuthLevel level = signed_calls ? rpc::AuthLevel::Integrity : rpc::AuthLevel::Connect;
  rpc::BindRequest r;
  r.interface = {iid, 0, 0};
  const std::string ack =
      session.feed(rpc::build_pdu({rpc::PduType::Bind, 3, 0, 0, 1}, rpc::bind_body(r),
                                  rpc::SecurityTrailer{rpc::kAuthNtlm, level, 0, 7}, ntlm.negotiate()));
  const rpc::Pdu pdu = rpc::split_pdu(ack, 65535);
  session.feed(rpc::build_pdu({rpc::PduType::Auth3, 3, 0, 0, 1}, std::string(4, '\0'),
                              rpc::SecurityTrailer{rpc::kAuthNtlm, level, 0, 7}, ntlm.authenticate(pdu.auth_value())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static ObjectExporter exporter;
  static const Guid object = exporter.add(
      kEcho, "10.1.2.3",
      [](std::uint16_t, std::string_view stub) { return std::string(stub.substr(0, 64)) + std::string(4, '\0'); },
      NtlmAccount{kLogin.domain, kLogin.user, ntowf_v2(kLogin.domain, kLogin.user, kLogin.password)});
  (void)object;
  ExporterSession session(exporter, data[0] & 0x80 ? "10.6.6.6" : "10.1.2.3", "10.9.8.7[4711]",
                          ExporterLimits{5840, 1u << 16});
  switch (data[0] & 3) {
    case 1: bind(session, interface_info("IObjectExporter").iid, data[0] & 0x40); break;
    case 2: bind(session, interface_info("IRemUnknown").iid, data[0] & 0x40); break;
    case 3: bind(session, kEcho.iid, data[0] & 0x40); break;
    default: break;
  }
  const std::size_t piece = 1 + data[1] % 97;
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
  for (std::size_t at = 0; at < input.size() && !session.closed(); at += piece) {
    const std::string out = session.feed(input.substr(at, piece));
    if (out.size() > (1u << 20)) std::abort();  // an answer is never larger than the limits allow
  }
  return 0;
}
