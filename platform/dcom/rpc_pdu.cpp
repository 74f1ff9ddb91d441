#include "platform/dcom/rpc_pdu.h"

#include <algorithm>
#include <cstdio>

#include "platform/dcom/errors.h"

namespace vexa32::dcom::rpc {
namespace {

[[noreturn]] void broken(const std::string& what) {
  throw DcomError(status::RPC_S_PROTOCOL_ERROR, "the peer broke the RPC protocol: " + what);
}

void put_u8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
void put_u16(std::string& out, std::uint16_t v) {
  put_u8(out, static_cast<std::uint8_t>(v));
  put_u8(out, static_cast<std::uint8_t>(v >> 8));
}
void put_u32(std::string& out, std::uint32_t v) {
  put_u16(out, static_cast<std::uint16_t>(v));
  put_u16(out, static_cast<std::uint16_t>(v >> 16));
}
void put_syntax(std::string& out, const SyntaxId& s) {
  out.append(reinterpret_cast<const char*>(s.uuid.bytes.data()), s.uuid.bytes.size());
  put_u16(out, s.major);
  put_u16(out, s.minor);
}

// Reads little-endian fields from a body, refusing to read past its end.
class Fields {
 public:
  explicit Fields(std::string_view data) : data_(data) {}
  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
  std::uint16_t u16() {
    auto b = take(2);
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[0]) | static_cast<std::uint8_t>(b[1]) << 8);
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
  }
  std::string_view take(std::size_t n) {
    if (n > data_.size() - pos_) broken("a PDU ends inside a field");
    auto out = data_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  void align(std::size_t n) {
    const std::size_t pad = (n - pos_ % n) % n;
    take(pad);
  }
  std::size_t position() const { return pos_; }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

}  // namespace

const SyntaxId& ndr_syntax() {
  static const SyntaxId ndr{guid("8A885D04-1CEB-11C9-9FE8-08002B104860"), 2, 0};
  return ndr;
}

Header parse_header(std::string_view bytes, std::size_t max_fragment) {
  if (bytes.size() < kHeaderSize) broken("a PDU is shorter than its header");
  Fields f(bytes);
  const std::uint8_t major = f.u8(), minor = f.u8();
  Header h;
  h.type = static_cast<PduType>(f.u8());
  h.flags = f.u8();
  const auto drep = f.take(4);
  if (major != 5 || minor != 0) broken("RPC version " + std::to_string(major) + "." + std::to_string(minor));
  if (drep[0] != 0x10 || drep[1] != 0) broken("a byte order or character set other than little-endian ASCII");
  h.frag_length = f.u16();
  h.auth_length = f.u16();
  h.call_id = f.u32();
  if (h.frag_length < kHeaderSize) broken("a fragment shorter than its header");
  if (h.frag_length > max_fragment)
    broken("a fragment of " + std::to_string(h.frag_length) + " bytes, above " + std::to_string(max_fragment));
  return h;
}

Pdu split_pdu(std::string bytes, std::size_t max_fragment) {
  Pdu p;
  p.header = parse_header(bytes, max_fragment);
  if (p.header.frag_length != bytes.size()) broken("a fragment's length differs from its header");
  p.bytes = std::move(bytes);
  std::size_t end = p.bytes.size();
  if (p.header.auth_length) {
    if (end < kHeaderSize + kTrailerSize + p.header.auth_length) broken("the auth value does not fit its fragment");
    p.auth_offset = end - p.header.auth_length;
    Fields t(std::string_view(p.bytes).substr(p.auth_offset - kTrailerSize, kTrailerSize));
    SecurityTrailer trailer;
    trailer.type = t.u8();
    trailer.level = static_cast<AuthLevel>(t.u8());
    trailer.pad_length = t.u8();
    t.u8();
    trailer.context_id = t.u32();
    end = p.auth_offset - kTrailerSize;
    if (end < kHeaderSize + trailer.pad_length) broken("the padding is longer than the body");
    end -= trailer.pad_length;
    p.trailer = trailer;
  }
  p.body_offset = kHeaderSize;
  p.body_size = end - kHeaderSize;
  return p;
}

std::string bind_body(const BindRequest& r) {
  std::string out;
  put_u16(out, r.max_xmit);
  put_u16(out, r.max_recv);
  put_u32(out, r.assoc_group);
  put_u8(out, 1);  // one presentation context
  put_u8(out, 0);
  put_u16(out, 0);
  put_u16(out, r.context_id);
  put_u8(out, 1);  // one transfer syntax
  put_u8(out, 0);
  put_syntax(out, r.interface);
  put_syntax(out, ndr_syntax());
  return out;
}

BindResult parse_bind_ack(std::string_view body) {
  Fields f(body);
  BindResult r;
  r.max_xmit = f.u16();
  r.max_recv = f.u16();
  r.assoc_group = f.u32();
  const std::uint16_t address_length = f.u16();
  const auto address = f.take(address_length);
  r.secondary_address = std::string(address.substr(0, address.find('\0')));
  f.align(4);
  const std::uint8_t results = f.u8();
  f.take(3);
  if (results < 1) broken("a bind answer without a result");
  r.result = f.u16();
  r.reason = f.u16();
  const auto syntax = f.take(20);
  if (r.result == 0 &&
      syntax.substr(0, 16) != std::string_view(reinterpret_cast<const char*>(ndr_syntax().uuid.bytes.data()), 16))
    broken("the server accepted a transfer syntax we did not offer");
  if (r.max_xmit < 1024 || r.max_recv < 1024) broken("fragment sizes below 1024");
  return r;
}

std::uint16_t parse_bind_nak(std::string_view body) { return Fields(body).u16(); }

BindOffer parse_bind(std::string_view body) {
  constexpr std::uint8_t kMostContexts = 16;
  Fields f(body);
  BindOffer out;
  out.max_xmit = f.u16();
  out.max_recv = f.u16();
  out.assoc_group = f.u32();
  const std::uint8_t count = f.u8();
  f.take(3);
  if (count == 0 || count > kMostContexts) broken("a bind offering " + std::to_string(count) + " contexts");
  for (std::uint8_t i = 0; i < count; ++i) {
    OfferedContext c;
    c.context_id = f.u16();
    const std::uint8_t syntaxes = f.u8();
    f.take(1);
    const auto abstract = f.take(16);
    std::copy(abstract.begin(), abstract.end(), reinterpret_cast<char*>(c.interface.uuid.bytes.data()));
    c.interface.major = f.u16();
    c.interface.minor = f.u16();
    if (syntaxes == 0) broken("a presentation context without a transfer syntax");
    for (std::uint8_t k = 0; k < syntaxes; ++k) {
      const auto transfer = f.take(16);
      const std::uint16_t major = f.u16();
      f.u16();
      if (transfer == std::string_view(reinterpret_cast<const char*>(ndr_syntax().uuid.bytes.data()), 16) &&
          major == ndr_syntax().major)
        c.ndr = true;
    }
    out.contexts.push_back(c);
  }
  if (out.max_xmit < 1024 || out.max_recv < 1024) broken("fragment sizes below 1024");
  return out;
}

std::string bind_ack_body(std::uint16_t max_xmit, std::uint16_t max_recv, std::uint32_t assoc_group,
                          const std::string& secondary_address, const std::vector<ContextResult>& results) {
  std::string out;
  put_u16(out, max_xmit);
  put_u16(out, max_recv);
  put_u32(out, assoc_group);
  // An alter_context_resp names no address: its length is 0, without the terminating NUL.
  put_u16(out, static_cast<std::uint16_t>(secondary_address.empty() ? 0 : secondary_address.size() + 1));
  if (!secondary_address.empty()) {
    out.append(secondary_address);
    out.push_back('\0');
  }
  out.append((4 - out.size() % 4) % 4, '\0');
  put_u8(out, static_cast<std::uint8_t>(results.size()));
  out.append(3, '\0');
  for (const ContextResult& r : results) {
    put_u16(out, r.result);
    put_u16(out, r.reason);
    if (r.result == 0) {
      put_syntax(out, ndr_syntax());
    } else {
      out.append(20, '\0');
    }
  }
  return out;
}

RequestPrefix parse_request_prefix(std::string_view body, bool has_object) {
  Fields f(body);
  RequestPrefix out;
  out.alloc_hint = f.u32();
  out.context_id = f.u16();
  out.opnum = f.u16();
  if (has_object) {
    const auto object = f.take(16);
    Guid g;
    std::copy(object.begin(), object.end(), reinterpret_cast<char*>(g.bytes.data()));
    out.object = g;
  }
  out.size = f.position();
  return out;
}

std::string response_body(std::uint16_t context_id, std::string_view stub) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(stub.size()));
  put_u16(out, context_id);
  put_u8(out, 0);  // cancel count
  put_u8(out, 0);
  out.append(stub);
  return out;
}

std::string fault_body(std::uint16_t context_id, std::uint32_t status) {
  std::string out;
  put_u32(out, 0);
  put_u16(out, context_id);
  put_u8(out, 0);
  put_u8(out, 0);
  put_u32(out, status);
  put_u32(out, 0);
  return out;
}

std::string request_prefix(std::uint32_t alloc_hint, std::uint16_t context_id, std::uint16_t opnum,
                           const std::optional<Guid>& object) {
  std::string out;
  put_u32(out, alloc_hint);
  put_u16(out, context_id);
  put_u16(out, opnum);
  if (object) out.append(reinterpret_cast<const char*>(object->bytes.data()), object->bytes.size());
  return out;
}

std::uint32_t fault_status(std::string_view body) {
  Fields f(body);
  f.take(kResponsePrefix);
  return f.u32();
}

std::string build_pdu(Header header, std::string_view body, const std::optional<SecurityTrailer>& trailer,
                      std::string_view auth_value, std::size_t align, std::size_t stub_from) {
  std::string out;
  put_u8(out, 5);
  put_u8(out, 0);
  put_u8(out, static_cast<std::uint8_t>(header.type));
  put_u8(out, header.flags);
  put_u32(out, 0x00000010);  // little-endian, ASCII, IEEE
  put_u16(out, 0);
  put_u16(out, 0);
  put_u32(out, header.call_id);
  out.append(body);
  if (trailer) {
    SecurityTrailer t = *trailer;
    t.pad_length = static_cast<std::uint8_t>((align - (body.size() - stub_from) % align) % align);
    out.append(t.pad_length, '\0');
    put_u8(out, t.type);
    put_u8(out, static_cast<std::uint8_t>(t.level));
    put_u8(out, t.pad_length);
    put_u8(out, 0);
    put_u32(out, t.context_id);
    out.append(auth_value);
  }
  patch_lengths(out, static_cast<std::uint16_t>(auth_value.size()));
  return out;
}

void patch_lengths(std::string& pdu, std::uint16_t auth_length) {
  const auto size = static_cast<std::uint16_t>(pdu.size());
  pdu[8] = static_cast<char>(size & 0xFF);
  pdu[9] = static_cast<char>(size >> 8);
  pdu[10] = static_cast<char>(auth_length & 0xFF);
  pdu[11] = static_cast<char>(auth_length >> 8);
}

std::string fault_name(std::uint32_t status) {
  switch (status) {
    case 0x00000005: return "nca_s_fault_access_denied";
    case 0x1C010002: return "nca_s_op_rng_error";
    case 0x1C010003: return "nca_s_unk_if";
    case 0x1C01000B: return "nca_s_proto_error";
    case 0x1C000011: return "nca_s_fault_context_mismatch";
    case 0x1C00000D: return "nca_s_fault_ndr";
    case 0x000006F7: return "RPC_X_BAD_STUB_DATA";
    case 0x000006D1: return "RPC_S_PROCNUM_OUT_OF_RANGE";
    case 0x80010108: return "RPC_E_DISCONNECTED";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", status);
      return text;
    }
  }
}

std::uint32_t fault_hresult(std::uint32_t status) {
  if (status == 0x00000005) return status::E_ACCESSDENIED;
  if (status & 0x80000000u) return status;            // an HRESULT already
  if (status < 0x10000) return 0x80070000u | status;  // a Windows error code
  return status::RPC_S_CALL_FAILED;                   // an nca_s_ code
}

}  // namespace vexa32::dcom::rpc
