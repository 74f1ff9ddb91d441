#include "platform/opcua/transport.h"

#include <algorithm>
#include <cstdio>

namespace vexa32::opcua {
namespace {

constexpr std::uint32_t kMinBuffer = 8192;
// Ids of calls that gave up before their answer came are kept this long, so a late answer is
// still taken (and dropped) rather than ending the connection.
constexpr std::size_t kMaxExpected = 1024;

TransportFault fault(StatusCode code, const std::string& what) { return TransportFault(code, what); }

struct Named {
  StatusCode code;
  const char* name;
};
constexpr Named kNames[] = {
    {0x00000000, "Good"},
    {0x00960000, "GoodLocalOverride"},
    {0x40000000, "Uncertain"},
    {0x40900000, "UncertainLastUsableValue"},
    {0x40930000, "UncertainSensorNotAccurate"},
    {0x40940000, "UncertainEngineeringUnitsExceeded"},
    {0x40950000, "UncertainSubNormal"},
    {0x80000000, "Bad"},
    {status::BadUnexpectedError, "BadUnexpectedError"},
    {0x80020000, "BadInternalError"},
    {0x80030000, "BadOutOfMemory"},
    {status::BadCommunicationError, "BadCommunicationError"},
    {0x80060000, "BadEncodingError"},
    {status::BadDecodingError, "BadDecodingError"},
    {0x80080000, "BadEncodingLimitsExceeded"},
    {status::BadTimeout, "BadTimeout"},
    {status::BadServiceUnsupported, "BadServiceUnsupported"},
    {status::BadShutdown, "BadShutdown"},
    {0x800D0000, "BadServerNotConnected"},
    {0x800E0000, "BadServerHalted"},
    {status::BadNothingToDo, "BadNothingToDo"},
    {status::BadTooManyOperations, "BadTooManyOperations"},
    {0x80130000, "BadSecurityChecksFailed"},
    {status::BadUserAccessDenied, "BadUserAccessDenied"},
    {0x80200000, "BadIdentityTokenInvalid"},
    {0x80210000, "BadIdentityTokenRejected"},
    {status::BadSecureChannelIdInvalid, "BadSecureChannelIdInvalid"},
    {status::BadSessionIdInvalid, "BadSessionIdInvalid"},
    {status::BadSessionClosed, "BadSessionClosed"},
    {0x80270000, "BadSessionNotActivated"},
    {status::BadNoCommunication, "BadNoCommunication"},
    {status::BadWaitingForInitialData, "BadWaitingForInitialData"},
    {status::BadNodeIdInvalid, "BadNodeIdInvalid"},
    {status::BadNodeIdUnknown, "BadNodeIdUnknown"},
    {status::BadAttributeIdInvalid, "BadAttributeIdInvalid"},
    {0x80360000, "BadIndexRangeInvalid"},
    {0x80380000, "BadDataEncodingInvalid"},
    {status::BadNotReadable, "BadNotReadable"},
    {status::BadNotWritable, "BadNotWritable"},
    {status::BadOutOfRange, "BadOutOfRange"},
    {status::BadNotSupported, "BadNotSupported"},
    {status::BadContinuationPointInvalid, "BadContinuationPointInvalid"},
    {0x804B0000, "BadNoContinuationPoints"},
    {status::BadSecurityPolicyRejected, "BadSecurityPolicyRejected"},
    {0x80560000, "BadTooManySessions"},
    {0x80730000, "BadWriteNotSupported"},
    {status::BadTypeMismatch, "BadTypeMismatch"},
    {status::BadTcpSecureChannelUnknown, "BadTcpSecureChannelUnknown"},
    {status::BadTcpMessageTooLarge, "BadTcpMessageTooLarge"},
    {status::BadTcpInternalError, "BadTcpInternalError"},
    {0x80830000, "BadTcpEndpointUrlInvalid"},
    {status::BadRequestTimeout, "BadRequestTimeout"},
    {status::BadSecureChannelClosed, "BadSecureChannelClosed"},
    {status::BadSequenceNumberInvalid, "BadSequenceNumberInvalid"},
    {0x80890000, "BadConfigurationError"},
    {0x808A0000, "BadNotConnected"},
    {0x808B0000, "BadDeviceFailure"},
    {0x808C0000, "BadSensorFailure"},
    {0x808D0000, "BadOutOfService"},
    {0x80AB0000, "BadInvalidArgument"},
    {status::BadConnectionClosed, "BadConnectionClosed"},
    {status::BadRequestTooLarge, "BadRequestTooLarge"},
    {status::BadResponseTooLarge, "BadResponseTooLarge"},
    {status::BadCertificateInvalid, "BadCertificateInvalid"},
    {status::BadCertificateTimeInvalid, "BadCertificateTimeInvalid"},
    {status::BadCertificateHostNameInvalid, "BadCertificateHostNameInvalid"},
    {status::BadCertificateUriInvalid, "BadCertificateUriInvalid"},
    {status::BadCertificateUseNotAllowed, "BadCertificateUseNotAllowed"},
    {status::BadCertificateUntrusted, "BadCertificateUntrusted"},
    {status::BadCertificateRevocationUnknown, "BadCertificateRevocationUnknown"},
    {status::BadCertificateRevoked, "BadCertificateRevoked"},
    {status::BadCertificateIssuerRevoked, "BadCertificateIssuerRevoked"},
    {status::BadNonceInvalid, "BadNonceInvalid"},
    {status::BadSecurityModeRejected, "BadSecurityModeRejected"},
    {status::BadUserSignatureInvalid, "BadUserSignatureInvalid"},
    {status::BadApplicationSignatureInvalid, "BadApplicationSignatureInvalid"},
    {status::BadCertificateChainIncomplete, "BadCertificateChainIncomplete"},
    {status::BadCertificatePolicyCheckFailed, "BadCertificatePolicyCheckFailed"},
};

}  // namespace

std::string status::describe(StatusCode c) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", c);
  for (const auto& n : kNames) {
    if (n.code == (c & 0xFFFF0000u)) return std::string(n.name) + " (" + hex + ")";
  }
  return hex;
}

std::size_t chunk_count(std::size_t body_size, std::size_t room, const BufferLimits& send) {
  if (send.max_message && body_size > send.max_message)
    throw fault(status::BadRequestTooLarge, "the request is larger than the server accepts");
  const std::size_t chunks = body_size == 0 ? 1 : (body_size + room - 1) / room;
  if (send.max_chunks && chunks > send.max_chunks)
    throw fault(status::BadRequestTooLarge, "the request needs more chunks than the server accepts");
  return chunks;
}

void put_chunk_header(Writer& w, std::string_view type, char chunk) {
  w.raw(type);
  w.u8(static_cast<std::uint8_t>(chunk));
  w.u32(0);  // size, patched at the end
}

void put_sequence_header(Writer& w, std::uint32_t& sequence, std::uint32_t request_id) {
  sequence = next_sequence(sequence);
  w.u32(sequence);
  w.u32(request_id);
}

void begin_symmetric_chunk(Writer& w, std::string_view type, char chunk, std::uint32_t channel_id,
                           std::uint32_t token_id, std::uint32_t& sequence, std::uint32_t request_id) {
  put_chunk_header(w, type, chunk);
  w.u32(channel_id);
  w.u32(token_id);
  put_sequence_header(w, sequence, request_id);
}

std::string encode_hello(const BufferLimits& ours, std::string_view endpoint_url) {
  Writer w;
  put_chunk_header(w, "HEL", 'F');
  w.u32(0);  // protocol version
  w.u32(ours.receive_buffer);
  w.u32(ours.send_buffer);
  w.u32(ours.max_message);
  w.u32(ours.max_chunks);
  w.string(endpoint_url);
  w.patch_u32(4, static_cast<std::uint32_t>(w.size()));
  return w.take();
}

Negotiated negotiate(const BufferLimits& ours, std::string_view ack_body) {
  Reader r(ack_body);
  r.u32();  // protocol version
  std::uint32_t server_receive = r.u32(), server_send = r.u32(), server_max_message = r.u32(),
                server_max_chunks = r.u32();
  if (server_receive < kMinBuffer || server_send < kMinBuffer)
    throw fault(status::BadTcpInternalError, "the server's buffers are below the protocol's minimum");
  Negotiated n;
  n.send.send_buffer = std::min(ours.send_buffer, server_receive);
  n.send.receive_buffer = server_receive;
  n.send.max_message = server_max_message;
  n.send.max_chunks = server_max_chunks;
  n.receive = ours;
  return n;
}

TransportFault decode_error_message(std::string_view body) {
  Reader r(body);
  StatusCode code = r.u32();
  std::string reason = r.text();
  return fault(code, "the server ended the connection: " + status::describe(code) +
                         (reason.empty() ? std::string() : " \"" + reason + "\""));
}

ChunkHeader parse_header(std::string_view header, std::uint32_t max_size) {
  Reader r(header);
  ChunkHeader h;
  h.type = std::string(r.bytes(3));
  h.chunk = static_cast<char>(r.u8());
  h.size = r.u32();
  if (h.size < kHeaderSize) throw fault(status::BadTcpInternalError, "a message is shorter than its header");
  if (h.size > max_size) throw fault(status::BadTcpMessageTooLarge, "a chunk exceeds the receive buffer");
  return h;
}

void MessageAssembler::check_sequence(std::uint32_t sequence) {
  if (last_sequence_ && !sequence_follows(*last_sequence_, sequence))
    throw fault(status::BadSequenceNumberInvalid, "a chunk arrived out of sequence");
  last_sequence_ = sequence;
}

void MessageAssembler::expect(std::uint32_t request_id) {
  expected_.insert(request_id);
  if (expected_.size() > kMaxExpected) expected_.erase(expected_.begin());
}

std::optional<Message> MessageAssembler::feed(std::string_view chunk) {
  Reader r(chunk, decode_limits_);
  ChunkHeader h = parse_header(r.bytes(kHeaderSize), limits_.receive_buffer);
  if (h.size != chunk.size()) throw fault(status::BadTcpInternalError, "a chunk's size does not match its header");
  if (h.type != "OPN" && h.type != "MSG" && h.type != "CLO")
    throw fault(status::BadTcpInternalError, "an unexpected message type \"" + h.type + "\" arrived");
  if (h.chunk != 'F' && h.chunk != 'C' && h.chunk != 'A')
    throw fault(status::BadTcpInternalError, "a chunk has an unknown chunk type");
  Message m;
  m.type = h.type;
  m.channel_id = r.u32();
  if (channel_ && m.channel_id != *channel_)
    throw fault(status::BadTcpSecureChannelUnknown, "a chunk names another secure channel");
  if (h.type == "OPN") {
    UaString policy = r.string();
    if (!policy || *policy != policy_uri_)
      throw fault(status::BadSecurityPolicyRejected, "the server answered with another security policy");
    r.string();  // sender certificate
    r.string();  // receiver thumbprint
  } else {
    m.token_id = r.u32();
  }
  check_sequence(r.u32());
  m.request_id = r.u32();
  std::string_view body = r.bytes(r.remaining());

  if (!expected_.count(m.request_id))
    throw fault(status::BadUnexpectedError,
                "an answer arrived for request " + std::to_string(m.request_id) + ", which this client did not send");
  auto it = partial_.find(m.request_id);
  if (h.chunk == 'A') {
    if (it != partial_.end()) {
      partial_bytes_ -= it->second.body.size();
      partial_.erase(it);
    }
    expected_.erase(m.request_id);
    Reader a(body, decode_limits_);
    m.aborted = true;
    m.abort_status = a.u32();
    m.abort_reason = a.text();
    return m;
  }
  if (it == partial_.end()) {
    it = partial_.emplace(m.request_id, Partial{h.type, 0, {}}).first;
  } else if (it->second.type != h.type) {
    throw fault(status::BadTcpInternalError, "the chunks of one answer differ in type");
  }
  Partial& p = it->second;
  ++p.chunks;
  if (limits_.max_chunks && p.chunks > limits_.max_chunks)
    throw fault(status::BadResponseTooLarge, "an answer has more chunks than allowed");
  if (limits_.max_message && p.body.size() + body.size() > limits_.max_message)
    throw fault(status::BadResponseTooLarge, "an answer is larger than allowed");
  // Many answers arriving at once may not together hold more than one answer may.
  if (limits_.max_message && partial_bytes_ + body.size() > limits_.max_message)
    throw fault(status::BadTcpMessageTooLarge, "the answers arriving at once are together larger than one may be");
  p.body.append(body);
  partial_bytes_ += body.size();
  if (h.chunk == 'C') return std::nullopt;
  m.body = std::move(p.body);
  partial_bytes_ -= m.body.size();
  partial_.erase(it);
  expected_.erase(m.request_id);
  return m;
}

std::vector<std::string> split_message(std::string_view type, std::uint32_t channel_id, std::uint32_t token_id,
                                       std::uint32_t request_id, std::uint32_t& sequence, std::string_view body,
                                       const BufferLimits& send) {
  const bool open = type == "OPN";
  const std::size_t security_header = open ? 4 + kSecurityPolicyNoneUri.size() + 8 : 4;
  const std::size_t overhead = kHeaderSize + 4 + security_header + 8;
  if (send.send_buffer <= overhead) throw fault(status::BadTcpInternalError, "the send buffer is too small");
  const std::size_t room = send.send_buffer - overhead;
  const std::size_t chunks = chunk_count(body.size(), room, send);
  if (open && chunks > 1) throw fault(status::BadRequestTooLarge, "the request needs more chunks than the server accepts");
  std::vector<std::string> out;
  out.reserve(chunks);
  for (std::size_t i = 0; i < chunks; ++i) {
    std::string_view part = body.substr(i * room, room);
    Writer w;
    const char kind = i + 1 == chunks ? 'F' : 'C';
    if (open) {
      put_chunk_header(w, type, kind);
      w.u32(channel_id);
      w.string(kSecurityPolicyNoneUri);
      w.null_string();
      w.null_string();
      put_sequence_header(w, sequence, request_id);
    } else {
      begin_symmetric_chunk(w, type, kind, channel_id, token_id, sequence, request_id);
    }
    w.raw(part);
    w.patch_u32(4, static_cast<std::uint32_t>(w.size()));
    out.push_back(w.take());
  }
  return out;
}

}  // namespace vexa32::opcua
