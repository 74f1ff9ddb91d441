#pragma once
// The PDUs of connection-oriented DCE/RPC as they go over TCP: the common header, bind and
// alter_context with their acknowledgements and refusals, AUTH3, request, response, fault and
// shutdown, and the security trailer. Pure functions, no sockets and no keys: the connection
// protects and checks what these build and parse.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dcom/guid.h"

namespace vexa32::dcom::rpc {

enum class PduType : std::uint8_t {
  Request = 0,
  Response = 2,
  Fault = 3,
  Bind = 11,
  BindAck = 12,
  BindNak = 13,
  AlterContext = 14,
  AlterContextResp = 15,
  Auth3 = 16,
  Shutdown = 17,
};

inline constexpr std::uint8_t kFirstFrag = 0x01, kLastFrag = 0x02, kSupportHeaderSign = 0x04, kConcMpx = 0x10,
                              kObjectUuid = 0x80;
inline constexpr std::size_t kHeaderSize = 16, kTrailerSize = 8;
inline constexpr std::uint8_t kAuthNtlm = 10;
enum class AuthLevel : std::uint8_t { None = 1, Connect = 2, Integrity = 5, Privacy = 6 };

struct Header {
  PduType type = PduType::Request;
  std::uint8_t flags = kFirstFrag | kLastFrag;
  std::uint16_t frag_length = 0;
  std::uint16_t auth_length = 0;
  std::uint32_t call_id = 0;
};
// The 16 header bytes; RpcError (RPC_S_PROTOCOL_ERROR) for another version, byte order or a
// fragment shorter than its header or longer than max_fragment.
Header parse_header(std::string_view bytes, std::size_t max_fragment);

struct SyntaxId {
  Guid uuid;
  std::uint16_t major = 0, minor = 0;
};
// NDR 2.0, the only transfer syntax we speak.
const SyntaxId& ndr_syntax();

struct SecurityTrailer {
  std::uint8_t type = kAuthNtlm;
  AuthLevel level = AuthLevel::Privacy;
  std::uint8_t pad_length = 0;
  std::uint32_t context_id = 0;
};

// A PDU as it is cut from the stream: its header, its body (between the header and the
// padding, still sealed where the level is privacy), the padding length, the trailer and the
// auth value. `signed_part` is everything the signature covers (header to trailer).
struct Pdu {
  Header header;
  std::string bytes;  // the whole PDU
  std::size_t body_offset = kHeaderSize, body_size = 0;
  std::optional<SecurityTrailer> trailer;
  std::size_t auth_offset = 0;  // where the auth value starts; header.auth_length bytes
  std::string_view body() const { return std::string_view(bytes).substr(body_offset, body_size); }
  std::string_view auth_value() const { return std::string_view(bytes).substr(auth_offset, header.auth_length); }
};
// Splits a whole PDU into its parts, checking that the trailer and auth value fit the fragment.
Pdu split_pdu(std::string bytes, std::size_t max_fragment);

// What a bind or alter_context asks: one presentation context, its abstract syntax (the
// interface) in NDR 2.0.
struct BindRequest {
  std::uint16_t max_xmit = 5840, max_recv = 5840;
  std::uint32_t assoc_group = 0;
  std::uint16_t context_id = 0;
  SyntaxId interface;
};
// The body of a bind (or alter_context), without header or trailer.
std::string bind_body(const BindRequest& request);

struct BindResult {
  std::uint16_t max_xmit = 0, max_recv = 0;
  std::uint32_t assoc_group = 0;
  std::string secondary_address;
  std::uint16_t result = 0, reason = 0;  // 0: accepted
};
// The body of a bind_ack or alter_context_resp; RpcError when it is malformed.
BindResult parse_bind_ack(std::string_view body);
// The reason of a bind_nak.
std::uint16_t parse_bind_nak(std::string_view body);

// The server's side of a bind or alter_context: every presentation context offered, each with
// whether NDR 2.0 is among its transfer syntaxes. RpcError when the body is malformed or offers
// none (or more than a caller needs).
struct OfferedContext {
  std::uint16_t context_id = 0;
  SyntaxId interface;
  bool ndr = false;
};
struct BindOffer {
  std::uint16_t max_xmit = 0, max_recv = 0;
  std::uint32_t assoc_group = 0;
  std::vector<OfferedContext> contexts;
};
BindOffer parse_bind(std::string_view body);
// A bind_ack's (or alter_context_resp's) body: per context offered, accepted (with NDR 2.0) or
// refused with the reason ("abstract syntax not supported" 1, "transfer syntaxes not supported" 2).
struct ContextResult {
  std::uint16_t result = 0, reason = 0;  // 0: accepted; 2: provider rejection
};
std::string bind_ack_body(std::uint16_t max_xmit, std::uint16_t max_recv, std::uint32_t assoc_group,
                          const std::string& secondary_address, const std::vector<ContextResult>& results);
// A request's prefix as the server reads it.
struct RequestPrefix {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0, opnum = 0;
  std::optional<Guid> object;
  std::size_t size = 0;  // where the stub starts in the body
};
RequestPrefix parse_request_prefix(std::string_view body, bool has_object);
// A response's and a fault's body.
std::string response_body(std::uint16_t context_id, std::string_view stub);
std::string fault_body(std::uint16_t context_id, std::uint32_t status);

// Request: alloc hint, context id, operation number, the object (IPID) when there is one.
std::string request_prefix(std::uint32_t alloc_hint, std::uint16_t context_id, std::uint16_t opnum,
                           const std::optional<Guid>& object);
// The response's prefix is 8 bytes (alloc hint, context id, cancel count); the fault's status.
inline constexpr std::size_t kResponsePrefix = 8;
std::uint32_t fault_status(std::string_view body);

// A PDU built whole: header, body, padding to the trailer, trailer, auth value (empty without
// security). The body after its first `stub_from` bytes (a request's prefix) is padded to
// `align` bytes: 16 for a request's stub as Windows pads it, 4 elsewhere. frag_length and
// auth_length are set from what is given.
std::string build_pdu(Header header, std::string_view body, const std::optional<SecurityTrailer>& trailer,
                      std::string_view auth_value, std::size_t align = 4, std::size_t stub_from = 0);
// Sets frag_length and auth_length in built bytes (before the signature is known).
void patch_lengths(std::string& pdu, std::uint16_t auth_length);

// "nca_s_fault_access_denied", "nca_s_op_rng_error", ...; the hex code for others.
std::string fault_name(std::uint32_t status);
// The HRESULT a fault status stands for (an RPC status as HRESULT, or the HRESULT itself).
std::uint32_t fault_hresult(std::uint32_t status);

}  // namespace vexa32::dcom::rpc
