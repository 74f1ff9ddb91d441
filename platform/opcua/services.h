#pragma once
// The service messages the client sends and the answers it reads: only the fields it uses are
// named, but every field is encoded and decoded, in the order of the standard's structures.

#include "platform/opcua/encoding.h"

namespace vexa32::opcua {

// Binary encoding ids (namespace 0) of the messages.
namespace encoding_id {
inline constexpr std::uint32_t ServiceFault = 397;
inline constexpr std::uint32_t AnonymousIdentityToken = 321, UserNameIdentityToken = 324, X509IdentityToken = 327;
inline constexpr std::uint32_t FindServersRequest = 422, FindServersResponse = 425;
inline constexpr std::uint32_t GetEndpointsRequest = 428, GetEndpointsResponse = 431;
inline constexpr std::uint32_t OpenSecureChannelRequest = 446, OpenSecureChannelResponse = 449;
inline constexpr std::uint32_t CloseSecureChannelRequest = 452;
inline constexpr std::uint32_t CreateSessionRequest = 461, CreateSessionResponse = 464;
inline constexpr std::uint32_t ActivateSessionRequest = 467, ActivateSessionResponse = 470;
inline constexpr std::uint32_t CloseSessionRequest = 473, CloseSessionResponse = 476;
inline constexpr std::uint32_t BrowseRequest = 527, BrowseResponse = 530;
inline constexpr std::uint32_t BrowseNextRequest = 533, BrowseNextResponse = 536;
inline constexpr std::uint32_t ReadRequest = 631, ReadResponse = 634;
inline constexpr std::uint32_t WriteRequest = 673, WriteResponse = 676;
}  // namespace encoding_id

namespace attribute {
inline constexpr std::uint32_t NodeClass = 2, BrowseName = 3, DisplayName = 4, Value = 13, DataType = 14,
                               ValueRank = 15, AccessLevel = 17;
}

namespace node_class {
inline constexpr std::int32_t Object = 1, Variable = 2, View = 128;
}

struct RequestHeader {
  NodeId authentication_token;
  DateTime timestamp = 0;
  std::uint32_t request_handle = 0;
  std::uint32_t timeout_hint = 0;  // milliseconds
};

struct ResponseHeader {
  DateTime timestamp = 0;
  std::uint32_t request_handle = 0;
  StatusCode service_result = 0;
};

void encode(Writer& w, const RequestHeader& h);
void decode(Reader& r, ResponseHeader& h);

struct ApplicationDescription {
  std::string application_uri, product_uri;
  LocalizedText application_name;
  std::int32_t application_type = 0;  // 0 server, 1 client, 2 both, 3 discovery server
  std::string gateway_server_uri, discovery_profile_uri;
  std::vector<std::string> discovery_urls;
};
void encode(Writer& w, const ApplicationDescription& v);
void decode(Reader& r, ApplicationDescription& v);

struct UserTokenPolicy {
  std::string policy_id;
  std::int32_t token_type = 0;  // 0 anonymous, 1 user name, 2 certificate, 3 issued token
  std::string issued_token_type, issuer_endpoint_url, security_policy_uri;
};

struct EndpointDescription {
  std::string endpoint_url;
  ApplicationDescription server;
  std::string server_certificate;
  std::int32_t security_mode = 0;  // 1 None, 2 Sign, 3 SignAndEncrypt
  std::string security_policy_uri;
  std::vector<UserTokenPolicy> user_identity_tokens;
  std::string transport_profile_uri;
  std::uint8_t security_level = 0;
};
void decode(Reader& r, EndpointDescription& v);

struct OpenSecureChannelRequest {
  RequestHeader header;
  std::int32_t request_type = 0;  // 0 issue, 1 renew
  std::int32_t security_mode = 1;  // 1 None, 2 Sign, 3 SignAndEncrypt
  std::string client_nonce;
  std::uint32_t requested_lifetime = 0;
};
struct ChannelSecurityToken {
  std::uint32_t channel_id = 0, token_id = 0;
  DateTime created_at = 0;
  std::uint32_t revised_lifetime = 0;
};
struct OpenSecureChannelResponse {
  ResponseHeader header;
  ChannelSecurityToken token;
  std::string server_nonce;
};

// SignatureData: the algorithm's URI and the signature.
struct SignatureData {
  std::string algorithm, signature;
};

struct FindServersRequest {
  RequestHeader header;
  std::string endpoint_url;
};
struct FindServersResponse {
  ResponseHeader header;
  std::vector<ApplicationDescription> servers;
};

struct GetEndpointsRequest {
  RequestHeader header;
  std::string endpoint_url;
};
struct GetEndpointsResponse {
  ResponseHeader header;
  std::vector<EndpointDescription> endpoints;
};

struct CreateSessionRequest {
  RequestHeader header;
  ApplicationDescription client;
  std::string endpoint_url, session_name, client_nonce;
  std::string client_certificate;  // DER, empty under None
  double requested_session_timeout = 0;
  std::uint32_t max_response_message_size = 0;
};
struct CreateSessionResponse {
  ResponseHeader header;
  NodeId session_id, authentication_token;
  double revised_session_timeout = 0;
  std::string server_nonce, server_certificate;
  // The endpoints again, signed this time on a secure channel: what discovery saw must match.
  std::vector<EndpointDescription> server_endpoints;
  SignatureData server_signature;
  std::uint32_t max_request_message_size = 0;
};

// The user of a session: anonymous, a user name with its (encrypted) password, or a certificate.
struct IdentityToken {
  std::int32_t kind = 0;  // as UserTokenPolicy::token_type
  std::string policy_id;
  std::string user_name;
  std::string secret;               // the encrypted password, or the user certificate's DER
  std::string encryption_algorithm;  // the password's, empty when it is not encrypted
};
struct ActivateSessionRequest {
  RequestHeader header;
  SignatureData client_signature;
  IdentityToken identity;
  SignatureData user_token_signature;
};
struct ActivateSessionResponse {
  ResponseHeader header;
  std::string server_nonce;
  std::vector<StatusCode> results;
};

struct CloseSessionRequest {
  RequestHeader header;
  bool delete_subscriptions = true;
};
struct CloseSessionResponse {
  ResponseHeader header;
};

struct BrowseDescription {
  NodeId node;
  std::int32_t direction = 0;    // forward
  NodeId reference_type{0, 33};  // hierarchical references
  bool include_subtypes = true;
  std::uint32_t node_class_mask = 0;
  std::uint32_t result_mask = 0x3F;
};
struct ReferenceDescription {
  NodeId reference_type;
  bool is_forward = true;
  ExpandedNodeId node;
  QualifiedName browse_name;
  LocalizedText display_name;
  std::int32_t node_class = 0;
  ExpandedNodeId type_definition;
};
struct BrowseResult {
  StatusCode status = 0;
  UaString continuation_point;
  std::vector<ReferenceDescription> references;
};
struct BrowseRequest {
  RequestHeader header;
  std::uint32_t max_references_per_node = 0;
  std::vector<BrowseDescription> nodes;
};
struct BrowseNextRequest {
  RequestHeader header;
  bool release = false;
  std::vector<std::string> continuation_points;
};
struct BrowseResponse {
  ResponseHeader header;
  std::vector<BrowseResult> results;
};

struct ReadValueId {
  NodeId node;
  std::uint32_t attribute = attribute::Value;
};
struct ReadRequest {
  RequestHeader header;
  double max_age = 0;
  std::int32_t timestamps = 2;  // both
  std::vector<ReadValueId> nodes;
};
struct ReadResponse {
  ResponseHeader header;
  std::vector<DataValue> results;
};

struct WriteValue {
  NodeId node;
  std::uint32_t attribute = attribute::Value;
  DataValue value;
};
struct WriteRequest {
  RequestHeader header;
  std::vector<WriteValue> nodes;
};
struct WriteResponse {
  ResponseHeader header;
  std::vector<StatusCode> results;
};

void encode(Writer& w, const OpenSecureChannelRequest& v);
void encode(Writer& w, const FindServersRequest& v);
void encode(Writer& w, const GetEndpointsRequest& v);
void encode(Writer& w, const CreateSessionRequest& v);
void encode(Writer& w, const ActivateSessionRequest& v);
void encode(Writer& w, const CloseSessionRequest& v);
void encode(Writer& w, const BrowseRequest& v);
void encode(Writer& w, const BrowseNextRequest& v);
void encode(Writer& w, const ReadRequest& v);
void encode(Writer& w, const WriteRequest& v);
// The close request is nothing but its header.
void encode_close_secure_channel(Writer& w, const RequestHeader& h);

void decode(Reader& r, OpenSecureChannelResponse& v);
void decode(Reader& r, FindServersResponse& v);
void decode(Reader& r, GetEndpointsResponse& v);
void decode(Reader& r, CreateSessionResponse& v);
void decode(Reader& r, ActivateSessionResponse& v);
void decode(Reader& r, CloseSessionResponse& v);
void decode(Reader& r, BrowseResponse& v);  // Browse and BrowseNext answer alike
void decode(Reader& r, ReadResponse& v);
void decode(Reader& r, WriteResponse& v);

// The encoding id of the request type, for the message's leading NodeId.
template <typename T>
constexpr std::uint32_t request_id_of();
template <>
constexpr std::uint32_t request_id_of<OpenSecureChannelRequest>() {
  return encoding_id::OpenSecureChannelRequest;
}
template <>
constexpr std::uint32_t request_id_of<FindServersRequest>() {
  return encoding_id::FindServersRequest;
}
template <>
constexpr std::uint32_t request_id_of<GetEndpointsRequest>() {
  return encoding_id::GetEndpointsRequest;
}
template <>
constexpr std::uint32_t request_id_of<CreateSessionRequest>() {
  return encoding_id::CreateSessionRequest;
}
template <>
constexpr std::uint32_t request_id_of<ActivateSessionRequest>() {
  return encoding_id::ActivateSessionRequest;
}
template <>
constexpr std::uint32_t request_id_of<CloseSessionRequest>() {
  return encoding_id::CloseSessionRequest;
}
template <>
constexpr std::uint32_t request_id_of<BrowseRequest>() {
  return encoding_id::BrowseRequest;
}
template <>
constexpr std::uint32_t request_id_of<BrowseNextRequest>() {
  return encoding_id::BrowseNextRequest;
}
template <>
constexpr std::uint32_t request_id_of<ReadRequest>() {
  return encoding_id::ReadRequest;
}
template <>
constexpr std::uint32_t request_id_of<WriteRequest>() {
  return encoding_id::WriteRequest;
}

// The encoding id of the answer a request expects.
template <typename T>
constexpr std::uint32_t response_id_of();
template <>
constexpr std::uint32_t response_id_of<OpenSecureChannelResponse>() {
  return encoding_id::OpenSecureChannelResponse;
}
template <>
constexpr std::uint32_t response_id_of<FindServersResponse>() {
  return encoding_id::FindServersResponse;
}
template <>
constexpr std::uint32_t response_id_of<GetEndpointsResponse>() {
  return encoding_id::GetEndpointsResponse;
}
template <>
constexpr std::uint32_t response_id_of<CreateSessionResponse>() {
  return encoding_id::CreateSessionResponse;
}
template <>
constexpr std::uint32_t response_id_of<ActivateSessionResponse>() {
  return encoding_id::ActivateSessionResponse;
}
template <>
constexpr std::uint32_t response_id_of<CloseSessionResponse>() {
  return encoding_id::CloseSessionResponse;
}
template <>
constexpr std::uint32_t response_id_of<ReadResponse>() {
  return encoding_id::ReadResponse;
}
template <>
constexpr std::uint32_t response_id_of<WriteResponse>() {
  return encoding_id::WriteResponse;
}

// A whole service body (leading type NodeId, then the structure) for each message this client
// reads. A body of another type is a DecodeError; a ServiceFault is reported through fault.
struct ServiceBody {
  std::uint32_t type = 0;  // the encoding id read
  std::size_t offset = 0;  // where the structure starts
};
ServiceBody read_service_type(Reader& r);

// Decodes any body the server may send, whatever its type, as the fuzzers do.
void decode_any_response(std::string_view body, const Limits& limits);

}  // namespace vexa32::opcua
