#pragma once
// The connection protocol under the services: Hello, Acknowledge and Error, and the secure
// channel's chunks (policy None). Requests are cut into chunks within the sizes the server
// accepts; answers are put together from their chunks within the sizes this client accepts, with
// the channel id, the sequence numbers and the request ids checked. Pure functions and one state
// machine, no sockets: the channel feeds it and the fuzzers drive it.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcua/encoding.h"

namespace vexa32::opcua {

// A breach of the connection protocol: the channel cannot go on. Carries the status code that
// names it (BadTcpMessageTooLarge, BadSequenceNumberInvalid, ...).
class TransportFault : public std::runtime_error {
 public:
  TransportFault(StatusCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
  StatusCode code() const noexcept { return code_; }

 private:
  StatusCode code_;
};

namespace status {
inline constexpr StatusCode Good = 0;
inline constexpr StatusCode BadUnexpectedError = 0x80010000, BadCommunicationError = 0x80050000,
                            BadDecodingError = 0x80070000, BadTimeout = 0x800A0000, BadServiceUnsupported = 0x800B0000,
                            BadShutdown = 0x800C0000, BadNothingToDo = 0x800F0000, BadTooManyOperations = 0x80100000,
                            BadUserAccessDenied = 0x801F0000, BadSecureChannelIdInvalid = 0x80220000,
                            BadSessionIdInvalid = 0x80250000, BadSessionClosed = 0x80260000,
                            BadNoCommunication = 0x80310000, BadWaitingForInitialData = 0x80320000,
                            BadNodeIdInvalid = 0x80330000, BadNodeIdUnknown = 0x80340000,
                            BadAttributeIdInvalid = 0x80350000, BadNotReadable = 0x803A0000,
                            BadNotWritable = 0x803B0000, BadOutOfRange = 0x803C0000, BadNotSupported = 0x803D0000,
                            BadContinuationPointInvalid = 0x804A0000, BadSecurityPolicyRejected = 0x80550000,
                            BadTypeMismatch = 0x80740000, BadTcpSecureChannelUnknown = 0x807F0000,
                            BadTcpMessageTooLarge = 0x80800000, BadTcpInternalError = 0x80820000,
                            BadRequestTimeout = 0x80850000, BadSecureChannelClosed = 0x80860000,
                            BadSequenceNumberInvalid = 0x80880000, BadConnectionClosed = 0x80AE0000,
                            BadRequestTooLarge = 0x80B80000, BadResponseTooLarge = 0x80B90000,
                            BadCertificateInvalid = 0x80120000, BadSecurityChecksFailed = 0x80130000,
                            BadCertificateTimeInvalid = 0x80140000, BadCertificateHostNameInvalid = 0x80160000,
                            BadCertificateUriInvalid = 0x80170000, BadCertificateUseNotAllowed = 0x80180000,
                            BadCertificateUntrusted = 0x801A0000, BadCertificateRevocationUnknown = 0x801B0000,
                            BadCertificateRevoked = 0x801D0000, BadCertificateIssuerRevoked = 0x801E0000,
                            BadIdentityTokenInvalid = 0x80200000, BadIdentityTokenRejected = 0x80210000,
                            BadNonceInvalid = 0x80240000, BadSecurityModeRejected = 0x80540000,
                            BadUserSignatureInvalid = 0x80570000, BadApplicationSignatureInvalid = 0x80580000,
                            BadCertificateChainIncomplete = 0x810D0000,
                            BadCertificatePolicyCheckFailed = 0x81140000;
inline bool is_bad(StatusCode c) { return (c & 0x80000000u) != 0; }
inline bool is_uncertain(StatusCode c) { return (c & 0xC0000000u) == 0x40000000u; }
// "BadNodeIdUnknown (0x80340000)", or the hex code alone for a name this client does not know.
std::string describe(StatusCode c);
}  // namespace status

struct BufferLimits {
  std::uint32_t receive_buffer = 65536;  // largest chunk
  std::uint32_t send_buffer = 65536;
  std::uint32_t max_message = 16u << 20;  // 0: no limit
  std::uint32_t max_chunks = 0;           // 0: no limit
};

// What both sides agreed in Hello and Acknowledge.
struct Negotiated {
  BufferLimits send;     // chunks and messages this client may send
  BufferLimits receive;  // chunks and messages this client accepts
};

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::string_view kSecurityPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";

std::string encode_hello(const BufferLimits& ours, std::string_view endpoint_url);
// From an Acknowledge's body (after the header): what each side may send. Faults when the
// server's sizes are below the protocol's minimum (8192).
Negotiated negotiate(const BufferLimits& ours, std::string_view ack_body);
// An Error message's body: its code and reason, as the fault to raise.
TransportFault decode_error_message(std::string_view body);

struct ChunkHeader {
  std::string type;  // "ACK", "ERR", "OPN", "MSG", "CLO", ...
  char chunk = 'F';
  std::uint32_t size = 0;
};
// The eight header bytes; faults for a size below the header or above max_size.
ChunkHeader parse_header(std::string_view header, std::uint32_t max_size);

struct Message {
  std::string type;  // "OPN", "MSG" or "CLO"
  std::uint32_t request_id = 0;
  std::uint32_t channel_id = 0;
  std::uint32_t token_id = 0;
  bool aborted = false;  // the server gave up on this answer: abort_status says why
  StatusCode abort_status = 0;
  std::string abort_reason;
  std::string body;
};

class MessageAssembler {
 public:
  explicit MessageAssembler(BufferLimits receive, Limits decode_limits = {})
      : limits_(receive), decode_limits_(decode_limits) {}
  // Once the channel is open, every chunk must carry its id.
  void set_channel(std::uint32_t id) { channel_ = id; }
  // The policy an OpenSecureChannel answer must name (None unless the channel is secure).
  void set_policy_uri(std::string uri) { policy_uri_ = std::move(uri); }
  // A request went out under this id, so an answer may come under it. Chunks under an id nobody
  // asked about end the connection: a server cannot make us hold answers to nothing.
  void expect(std::uint32_t request_id);
  // One whole secure-channel chunk, header included. A message when the chunk ends one; nothing
  // while it is incomplete; TransportFault for anything that breaks the protocol.
  std::optional<Message> feed(std::string_view chunk);
  std::size_t partial_count() const noexcept { return partial_.size(); }

 private:
  struct Partial {
    std::string type;
    std::uint32_t chunks = 0;
    std::string body;
  };
  void check_sequence(std::uint32_t sequence);

  BufferLimits limits_;
  Limits decode_limits_;
  std::optional<std::uint32_t> channel_;
  std::string policy_uri_{kSecurityPolicyNoneUri};
  std::optional<std::uint32_t> last_sequence_;
  std::map<std::uint32_t, Partial> partial_;  // by request id
  std::size_t partial_bytes_ = 0;             // of all partial answers together
  std::set<std::uint32_t> expected_;
};

// Cuts a message into chunks within the negotiated send sizes; sequence is the last number
// used and advances by one a chunk. TransportFault (BadRequestTooLarge) when the message exceeds
// what the server accepts.
std::vector<std::string> split_message(std::string_view type, std::uint32_t channel_id, std::uint32_t token_id,
                                       std::uint32_t request_id, std::uint32_t& sequence, std::string_view body,
                                       const BufferLimits& send);

// Sequence numbers may wrap only once they are past this, and then to a number below 1024.
inline constexpr std::uint32_t kLastSequenceBeforeWrap = 0xFFFFFBFFu;  // 4 294 966 271
// The next sequence number this side sends after n.
inline std::uint32_t next_sequence(std::uint32_t n) { return n > kLastSequenceBeforeWrap ? 1 : n + 1; }
// Whether the other side may send `next` after `last`: one more, or a wrap below 1024 once past
// the wrap point.
inline bool sequence_follows(std::uint32_t last, std::uint32_t next) {
  if (last > kLastSequenceBeforeWrap && next < 1024) return true;
  return last != 0xFFFFFFFFu && next == last + 1;
}

// How many chunks of room bytes a body takes; TransportFault (BadRequestTooLarge) when the body or
// the count exceeds what the server accepts.
std::size_t chunk_count(std::size_t body_size, std::size_t room, const BufferLimits& send);

// A message header whose size is patched when the chunk is whole.
void put_chunk_header(Writer& w, std::string_view type, char chunk);
// The sequence header: the next sequence number after the last one used, and the request id.
void put_sequence_header(Writer& w, std::uint32_t& sequence, std::uint32_t request_id);
// The start of a MSG or CLO chunk: its header, the channel id, the token id and the sequence header.
void begin_symmetric_chunk(Writer& w, std::string_view type, char chunk, std::uint32_t channel_id,
                           std::uint32_t token_id, std::uint32_t& sequence, std::uint32_t request_id);

}  // namespace vexa32::opcua
