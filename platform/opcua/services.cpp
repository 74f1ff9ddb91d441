#include "platform/opcua/services.h"

namespace vexa32::opcua {
namespace {

void skip_extension_object(Reader& r) { decode_as<ExtensionObject>(r); }

// SignatureData: algorithm, signature; both null when there is none.
void encode_signature(Writer& w, const SignatureData& s) {
  if (s.algorithm.empty()) {
    w.null_string();
  } else {
    w.string(std::string_view(s.algorithm));
  }
  if (s.signature.empty()) {
    w.null_string();
  } else {
    w.string(std::string_view(s.signature));
  }
}
SignatureData decode_signature(Reader& r) {
  SignatureData s;
  s.algorithm = r.text();
  s.signature = r.text();
  return s;
}
void skip_signature(Reader& r) { decode_signature(r); }

void encode_optional_bytes(Writer& w, const std::string& bytes) {
  if (bytes.empty()) {
    w.null_string();
  } else {
    w.string(std::string_view(bytes));
  }
}

UserTokenPolicy decode_token_policy(Reader& r) {
  UserTokenPolicy p;
  p.policy_id = r.text();
  p.token_type = r.i32();
  p.issued_token_type = r.text();
  p.issuer_endpoint_url = r.text();
  p.security_policy_uri = r.text();
  return p;
}

BrowseResult decode_browse_result(Reader& r) {
  BrowseResult b;
  b.status = r.u32();
  b.continuation_point = r.string();
  decode_array(r, b.references, 8, [](Reader& x) {
    ReferenceDescription d;
    decode(x, d.reference_type);
    d.is_forward = x.boolean();
    decode(x, d.node);
    decode(x, d.browse_name);
    decode(x, d.display_name);
    d.node_class = x.i32();
    decode(x, d.type_definition);
    return d;
  });
  return b;
}

}  // namespace

void encode(Writer& w, const RequestHeader& h) {
  encode(w, h.authentication_token);
  w.i64(h.timestamp);
  w.u32(h.request_handle);
  w.u32(0);  // no diagnostics asked for
  w.null_string();
  w.u32(h.timeout_hint);
  encode(w, ExtensionObject{});
}

void decode(Reader& r, ResponseHeader& h) {
  h.timestamp = r.i64();
  h.request_handle = r.u32();
  h.service_result = r.u32();
  decode_as<DiagnosticInfo>(r);
  decode_strings(r);
  skip_extension_object(r);
}

void encode(Writer& w, const ApplicationDescription& v) {
  w.string(std::string_view(v.application_uri));
  w.string(std::string_view(v.product_uri));
  encode(w, v.application_name);
  w.i32(v.application_type);
  w.null_string();
  w.null_string();
  encode_strings(w, v.discovery_urls);
}

void decode(Reader& r, ApplicationDescription& v) {
  v.application_uri = r.text();
  v.product_uri = r.text();
  decode(r, v.application_name);
  v.application_type = r.i32();
  v.gateway_server_uri = r.text();
  v.discovery_profile_uri = r.text();
  v.discovery_urls = decode_strings(r);
}

void decode(Reader& r, EndpointDescription& v) {
  v.endpoint_url = r.text();
  decode(r, v.server);
  v.server_certificate = r.text();
  v.security_mode = r.i32();
  v.security_policy_uri = r.text();
  decode_array(r, v.user_identity_tokens, 20, decode_token_policy);
  v.transport_profile_uri = r.text();
  v.security_level = r.u8();
}

void encode(Writer& w, const OpenSecureChannelRequest& v) {
  encode(w, v.header);
  w.u32(0);  // protocol version
  w.i32(v.request_type);
  w.i32(v.security_mode);
  w.string(std::string_view(v.client_nonce));  // empty under None
  w.u32(v.requested_lifetime);
}

void decode(Reader& r, OpenSecureChannelResponse& v) {
  decode(r, v.header);
  r.u32();  // protocol version
  v.token.channel_id = r.u32();
  v.token.token_id = r.u32();
  v.token.created_at = r.i64();
  v.token.revised_lifetime = r.u32();
  v.server_nonce = r.text();
}

void encode_close_secure_channel(Writer& w, const RequestHeader& h) { encode(w, h); }

void encode(Writer& w, const FindServersRequest& v) {
  encode(w, v.header);
  w.string(std::string_view(v.endpoint_url));
  w.i32(0);  // locale ids
  w.i32(0);  // server uris
}

void decode(Reader& r, FindServersResponse& v) {
  decode(r, v.header);
  decode_array(r, v.servers, 25, [](Reader& x) { return decode_as<ApplicationDescription>(x); });
}

void encode(Writer& w, const GetEndpointsRequest& v) {
  encode(w, v.header);
  w.string(std::string_view(v.endpoint_url));
  w.i32(0);
  w.i32(0);
}

void decode(Reader& r, GetEndpointsResponse& v) {
  decode(r, v.header);
  decode_array(r, v.endpoints, 50, [](Reader& x) { return decode_as<EndpointDescription>(x); });
}

void encode(Writer& w, const CreateSessionRequest& v) {
  encode(w, v.header);
  encode(w, v.client);
  w.null_string();  // server uri
  w.string(std::string_view(v.endpoint_url));
  w.string(std::string_view(v.session_name));
  w.string(std::string_view(v.client_nonce));
  encode_optional_bytes(w, v.client_certificate);
  w.f64(v.requested_session_timeout);
  w.u32(v.max_response_message_size);
}

void decode(Reader& r, CreateSessionResponse& v) {
  decode(r, v.header);
  decode(r, v.session_id);
  decode(r, v.authentication_token);
  v.revised_session_timeout = r.f64();
  v.server_nonce = r.text();
  v.server_certificate = r.text();
  decode_array(r, v.server_endpoints, 50, [](Reader& x) { return decode_as<EndpointDescription>(x); });
  std::vector<int> certificates;
  decode_array(r, certificates, 8, [](Reader& x) {
    skip_signature(x);
    return 0;
  });
  v.server_signature = decode_signature(r);
  v.max_request_message_size = r.u32();
}

void encode(Writer& w, const ActivateSessionRequest& v) {
  encode(w, v.header);
  encode_signature(w, v.client_signature);
  w.i32(0);  // software certificates
  w.i32(0);  // locale ids
  Writer token;
  token.string(std::string_view(v.identity.policy_id));
  std::uint32_t type = encoding_id::AnonymousIdentityToken;
  if (v.identity.kind == 1) {
    type = encoding_id::UserNameIdentityToken;
    token.string(std::string_view(v.identity.user_name));
    token.string(std::string_view(v.identity.secret));
    encode_optional_bytes(token, v.identity.encryption_algorithm);
  } else if (v.identity.kind == 2) {
    type = encoding_id::X509IdentityToken;
    token.string(std::string_view(v.identity.secret));
  }
  encode(w, ExtensionObject{NodeId(0, type), 1, token.take()});
  encode_signature(w, v.user_token_signature);
}

void decode(Reader& r, ActivateSessionResponse& v) {
  decode(r, v.header);
  v.server_nonce = r.text();
  v.results = decode_status_codes(r);
  decode_diagnostics(r);
}

void encode(Writer& w, const CloseSessionRequest& v) {
  encode(w, v.header);
  w.boolean(v.delete_subscriptions);
}

void decode(Reader& r, CloseSessionResponse& v) { decode(r, v.header); }

void encode(Writer& w, const BrowseRequest& v) {
  encode(w, v.header);
  encode(w, NodeId());  // the whole address space, no view
  w.i64(0);
  w.u32(0);
  w.u32(v.max_references_per_node);
  encode_array(w, v.nodes, [](Writer& x, const BrowseDescription& d) {
    encode(x, d.node);
    x.i32(d.direction);
    encode(x, d.reference_type);
    x.boolean(d.include_subtypes);
    x.u32(d.node_class_mask);
    x.u32(d.result_mask);
  });
}

void encode(Writer& w, const BrowseNextRequest& v) {
  encode(w, v.header);
  w.boolean(v.release);
  encode_array(w, v.continuation_points, [](Writer& x, const std::string& p) { x.string(std::string_view(p)); });
}

void decode(Reader& r, BrowseResponse& v) {
  decode(r, v.header);
  decode_array(r, v.results, 9, decode_browse_result);
  decode_diagnostics(r);
}

void encode(Writer& w, const ReadRequest& v) {
  encode(w, v.header);
  w.f64(v.max_age);
  w.i32(v.timestamps);
  encode_array(w, v.nodes, [](Writer& x, const ReadValueId& id) {
    encode(x, id.node);
    x.u32(id.attribute);
    x.null_string();  // index range
    encode(x, QualifiedName{});
  });
}

void decode(Reader& r, ReadResponse& v) {
  decode(r, v.header);
  decode_array(r, v.results, 1, [](Reader& x) { return decode_as<DataValue>(x); });
  decode_diagnostics(r);
}

void encode(Writer& w, const WriteRequest& v) {
  encode(w, v.header);
  encode_array(w, v.nodes, [](Writer& x, const WriteValue& wv) {
    encode(x, wv.node);
    x.u32(wv.attribute);
    x.null_string();
    encode(x, wv.value);
  });
}

void decode(Reader& r, WriteResponse& v) {
  decode(r, v.header);
  v.results = decode_status_codes(r);
  decode_diagnostics(r);
}

ServiceBody read_service_type(Reader& r) {
  ExpandedNodeId type;
  decode(r, type);
  if (type.node.ns != 0 || type.node.kind != NodeId::Kind::Numeric || type.namespace_uri || type.server_index)
    throw DecodeError("a message names a type this client does not know");
  return {type.node.numeric, r.position()};
}

void decode_any_response(std::string_view body, const Limits& limits) {
  Reader r(body, limits);
  auto type = read_service_type(r).type;
  switch (type) {
    case encoding_id::ServiceFault: decode_as<ResponseHeader>(r); break;
    case encoding_id::OpenSecureChannelResponse: decode_as<OpenSecureChannelResponse>(r); break;
    case encoding_id::FindServersResponse: decode_as<FindServersResponse>(r); break;
    case encoding_id::GetEndpointsResponse: decode_as<GetEndpointsResponse>(r); break;
    case encoding_id::CreateSessionResponse: decode_as<CreateSessionResponse>(r); break;
    case encoding_id::ActivateSessionResponse: decode_as<ActivateSessionResponse>(r); break;
    case encoding_id::CloseSessionResponse: decode_as<CloseSessionResponse>(r); break;
    case encoding_id::BrowseResponse:
    case encoding_id::BrowseNextResponse: decode_as<BrowseResponse>(r); break;
    case encoding_id::ReadResponse: decode_as<ReadResponse>(r); break;
    case encoding_id::WriteResponse: decode_as<WriteResponse>(r); break;
    default: throw DecodeError("a message names a type this client does not know");
  }
}

}  // namespace vexa32::opcua
