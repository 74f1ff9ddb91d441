#include "platform/dcom/activation.h"

#include <cstdio>

#include "platform/dcom/errors.h"
#include "platform/dcom/ids.h"

namespace vexa32::dcom {
namespace {

constexpr std::uint32_t kMshctxDifferentMachine = 2;
// Run by the server's SCM as a local server there; servers are meant to ignore it.
constexpr std::uint32_t kClassContext = 0x4 | 0x10;  // CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER
constexpr std::uint32_t kImpLevelIdentify = 2;
constexpr std::uint16_t kProtseqTcp = 7;  // ncacn_ip_tcp
// The bounds the activation interface declares for its counts.
constexpr std::uint32_t kMaxProperties = 10;
constexpr std::uint32_t kMaxInterfaces = 0x8000;
constexpr std::size_t kSerializationHeaders = 16;

std::size_t round8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::string hex32(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// ---- writing ----

// A type serialized on its own: the common and private headers, the body, zeros up to 8 bytes.
// The private header's length counts that padding.
std::string serialized(const std::string& body) {
  const std::size_t padded = round8(body.size());
  NdrWriter w;
  w.u8(1);     // version
  w.u8(0x10);  // little-endian
  w.u16(8);    // common header length
  w.u32(0xCCCCCCCCu);
  w.u32(static_cast<std::uint32_t>(padded));
  w.u32(0);
  w.bytes(body);
  w.bytes(std::string(padded - body.size(), '\0'));
  return w.take();
}

std::uint32_t serialized_size(const NdrWriter& body) {
  return static_cast<std::uint32_t>(kSerializationHeaders + round8(body.size()));
}

std::string instantiation_info(const Guid& clsid, const std::vector<Guid>& iids) {
  const ComVersion version;
  NdrWriter w;
  w.guid(clsid);
  w.u32(kClassContext);
  w.u32(0);  // actvflags
  w.u32(0);  // fIsSurrogate
  w.u32(static_cast<std::uint32_t>(iids.size()));
  w.u32(0);  // instFlag
  w.unique(true);
  const std::size_t this_size_at = w.size();
  w.u32(0);  // thisSize, known once the IIDs are written
  w.u16(version.major);
  w.u16(version.minor);
  w.conformance(static_cast<std::uint32_t>(iids.size()));
  for (const auto& iid : iids) w.guid(iid);
  w.patch_u32(this_size_at, serialized_size(w));
  return serialized(w.data());
}

std::string activation_context_info() {
  NdrWriter w;
  for (int i = 0; i < 4; ++i) w.u32(0);  // clientOK, bReserved1, dwReserved1, dwReserved2
  w.unique(false);                       // no client context
  w.unique(false);                       // no prototype context
  return serialized(w.data());
}

std::string server_location_info() {
  NdrWriter w;
  w.unique(false);                       // machineName
  for (int i = 0; i < 3; ++i) w.u32(0);  // process, apartment, context
  return serialized(w.data());
}

std::string scm_request_info() {
  NdrWriter w;
  w.unique(false);  // pdwReserved
  w.unique(true);
  w.u32(kImpLevelIdentify);
  w.u16(1);
  w.unique(true);
  w.conformance(1);
  w.u16(kProtseqTcp);
  return serialized(w.data());
}

std::string custom_header(const std::vector<Guid>& clsids, const std::vector<std::uint32_t>& sizes) {
  const auto count = static_cast<std::uint32_t>(clsids.size());
  NdrWriter w;
  w.u32(0);  // totalSize and headerSize, known at the end
  w.u32(0);
  w.u32(0);  // dwReserved
  w.u32(kMshctxDifferentMachine);
  w.u32(count);
  w.guid(Guid{});  // classInfoClsid
  w.unique(true);
  w.unique(true);
  w.unique(false);  // pdwReserved
  w.conformance(count);
  for (const auto& c : clsids) w.guid(c);
  w.conformance(count);
  for (auto s : sizes) w.u32(s);
  const std::uint32_t header_size = serialized_size(w);
  std::uint32_t total = header_size;
  for (auto s : sizes) total += s;
  w.patch_u32(0, total);
  w.patch_u32(4, header_size);
  return serialized(w.data());
}

ObjRef activation_objref(const Guid& clsid, const std::vector<Guid>& iids) {
  if (iids.empty() || iids.size() > kMaxInterfaces) {
    throw DcomError(status::E_INVALIDARG, "an activation must ask for 1 to " + std::to_string(kMaxInterfaces) +
                                              " interfaces, not " + std::to_string(iids.size()));
  }
  const std::vector<Guid> clsids = {
      activation_property::instantiation_info(), activation_property::activation_context_info(),
      activation_property::server_location_info(), activation_property::scm_request_info()};
  const std::vector<std::string> properties = {instantiation_info(clsid, iids), activation_context_info(),
                                               server_location_info(), scm_request_info()};
  std::vector<std::uint32_t> sizes;
  for (const auto& p : properties) sizes.push_back(static_cast<std::uint32_t>(p.size()));
  std::string blob = custom_header(clsids, sizes);
  for (const auto& p : properties) blob += p;

  NdrWriter w;
  w.u32(static_cast<std::uint32_t>(blob.size()));
  w.u32(0);
  w.bytes(blob);

  ObjRef o;
  o.kind = OBJREF_CUSTOM;
  o.iid = iid_activation_properties_in();
  o.clsid = clsid::activation_properties_in();
  o.object_data = w.take();
  o.reserved = static_cast<std::uint32_t>(o.object_data.size());
  return o;
}

// ---- reading ----

// The body of a type serialized on its own, up to the length its private header gives.
std::string_view serialized_body(std::string_view bytes, const std::string& what) {
  if (bytes.size() < kSerializationHeaders) throw NdrError(what + " shorter than its serialization headers");
  NdrReader r(bytes.substr(0, kSerializationHeaders));
  const std::uint8_t version = r.u8();
  const std::uint8_t endianness = r.u8();
  const std::uint16_t header_length = r.u16();
  r.u32();  // filler
  const std::uint32_t length = r.u32();
  if (version != 1 || endianness != 0x10 || header_length != 8) {
    throw NdrError(what + " serialized as version " + std::to_string(version) + ", endianness " +
                   std::to_string(endianness) + ", header length " + std::to_string(header_length));
  }
  if (length > bytes.size() - kSerializationHeaders) {
    throw NdrError(what + " of " + std::to_string(length) + " bytes in " +
                   std::to_string(bytes.size() - kSerializationHeaders) + " bytes");
  }
  return bytes.substr(kSerializationHeaders, length);
}

// A body may end in padding, never in more.
void expect_body_end(const NdrReader& r, const std::string& what) {
  if (r.remaining() >= 8) throw NdrError(what + " followed by " + std::to_string(r.remaining()) + " unread bytes");
}

void expect_max_count(NdrReader& r, std::uint32_t count, std::size_t element_size, const char* what) {
  const std::uint32_t max = r.conformance(element_size);
  if (max != count) {
    throw NdrError(std::string(what) + " of " + std::to_string(max) + " elements where the count says " +
                   std::to_string(count));
  }
}

struct Property {
  Guid clsid;
  std::string_view bytes;
};

std::vector<Property> read_blob(std::string_view object_data) {
  NdrReader r(object_data);
  const std::uint32_t size = r.u32();
  r.u32();  // dwReserved
  if (size > r.remaining()) {
    throw NdrError("an activation blob of " + std::to_string(size) + " bytes in " + std::to_string(r.remaining()));
  }
  const std::string_view blob = object_data.substr(r.position(), size);

  const std::string_view header = serialized_body(blob, "the activation header");
  NdrReader h(header);
  const std::uint32_t total = h.u32();
  const std::uint32_t header_size = h.u32();
  h.u32();  // dwReserved
  h.u32();  // destCtx
  const std::uint32_t count = h.u32();
  h.guid();  // classInfoClsid
  const bool has_clsids = h.unique();
  const bool has_sizes = h.unique();
  const bool has_reserved = h.unique();
  if (total != size) {
    throw NdrError("an activation header giving " + std::to_string(total) + " bytes for a blob of " +
                   std::to_string(size));
  }
  if (count < 1 || count > kMaxProperties)
    throw NdrError("an activation blob of " + std::to_string(count) + " properties");
  if (!has_clsids || !has_sizes) throw NdrError("an activation header without its property CLSIDs or sizes");
  expect_max_count(h, count, 16, "property CLSIDs");
  std::vector<Property> out(count);
  for (auto& p : out) p.clsid = h.guid();
  expect_max_count(h, count, 4, "property sizes");
  std::vector<std::uint32_t> sizes(count);
  for (auto& s : sizes) s = h.u32();
  if (has_reserved) h.u32();
  expect_body_end(h, "the activation header");
  if (header_size < kSerializationHeaders + header.size() || header_size > size) {
    throw NdrError("an activation header of " + std::to_string(header_size) + " bytes holding " +
                   std::to_string(kSerializationHeaders + header.size()) + " in a blob of " + std::to_string(size));
  }

  std::size_t offset = header_size;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (sizes[i] > size - offset) {
      throw NdrError("activation property " + std::to_string(i) + " of " + std::to_string(sizes[i]) + " bytes where " +
                     std::to_string(size - offset) + " are left");
    }
    out[i].bytes = blob.substr(offset, sizes[i]);
    offset += sizes[i];
  }
  if (offset != size) {
    throw NdrError("activation properties ending at " + std::to_string(offset) + " in a blob of " +
                   std::to_string(size) + " bytes");
  }
  return out;
}

std::string_view find_property(const std::vector<Property>& properties, const Guid& clsid, const char* name) {
  const Property* found = nullptr;
  for (const auto& p : properties) {
    if (p.clsid != clsid) continue;
    if (found != nullptr) throw NdrError(std::string("an activation blob holding ") + name + " twice");
    found = &p;
  }
  if (found == nullptr) throw NdrError(std::string("an activation blob without ") + name);
  return serialized_body(found->bytes, name);
}

ObjRef custom_objref(std::string_view bytes, const Guid& clsid) {
  ObjRef o = decode_objref(bytes);
  if (o.kind != OBJREF_CUSTOM || o.clsid != clsid) {
    throw NdrError("activation properties as an OBJREF of kind " + std::to_string(o.kind) + " and class " +
                   format_guid(o.clsid));
  }
  return o;
}

std::vector<ActivatedInterface> read_props_out(std::string_view body) {
  NdrReader r(body);
  const std::uint32_t count = r.u32();
  const bool has_iids = r.unique();
  const bool has_results = r.unique();
  const bool has_pointers = r.unique();
  if (count < 1 || count > kMaxInterfaces)
    throw NdrError("an activation answer for " + std::to_string(count) + " interfaces");
  if (!has_iids || !has_results || !has_pointers) throw NdrError("an activation answer without its arrays");
  expect_max_count(r, count, 16, "answered IIDs");
  std::vector<ActivatedInterface> out(count);
  for (auto& i : out) i.iid = r.guid();
  expect_max_count(r, count, 4, "HRESULTs");
  for (auto& i : out) i.hresult = r.hresult();
  expect_max_count(r, count, 4, "interface pointers");
  std::vector<bool> present(count);
  for (std::uint32_t k = 0; k < count; ++k) present[k] = r.unique();
  for (std::uint32_t k = 0; k < count; ++k) {
    ActivatedInterface& i = out[k];
    if (present[k]) {
      i.objref = decode_objref(read_interface_pointer_bytes(r));
    } else if (i.hresult == status::S_OK) {
      throw NdrError("interface " + format_guid(i.iid) + " answered S_OK without its OBJREF");
    }
  }
  expect_body_end(r, "PropsOutInfo");
  return out;
}

// Returns whether the exporter's bindings were there.
bool read_scm_reply(std::string_view body, ActivationResult& out) {
  NdrReader r(body);
  const bool has_reserved = r.unique();
  const bool has_reply = r.unique();
  if (has_reserved) r.u32();
  if (!has_reply) throw NdrError("an activation answer without the object exporter's details");
  out.oxid = r.u64();
  const bool has_bindings = r.unique();
  out.ipid_rem_unknown = r.guid();
  out.authn_hint = r.u32();
  out.server_version.major = r.u16();
  out.server_version.minor = r.u16();
  if (has_bindings) out.bindings = read_dual_string_array(r);
  expect_body_end(r, "ScmReplyInfo");
  return has_bindings;
}

}  // namespace

namespace activation_property {
Guid instantiation_info() { return guid("000001AB-0000-0000-C000-000000000046"); }
Guid activation_context_info() { return guid("000001A5-0000-0000-C000-000000000046"); }
Guid server_location_info() { return guid("000001A4-0000-0000-C000-000000000046"); }
Guid scm_request_info() { return guid("000001AA-0000-0000-C000-000000000046"); }
Guid props_out_info() { return guid("00000339-0000-0000-C000-000000000046"); }
Guid scm_reply_info() { return guid("000001B6-0000-0000-C000-000000000046"); }
}  // namespace activation_property

Guid iid_activation_properties_in() { return guid("000001A2-0000-0000-C000-000000000046"); }

std::string activation_request(const Guid& clsid, const std::vector<Guid>& iids) {
  return encode_objref(activation_objref(clsid, iids));
}

ActivationRequest parse_activation_request(std::string_view objref_bytes) {
  const ObjRef objref = custom_objref(objref_bytes, clsid::activation_properties_in());
  const auto properties = read_blob(objref.object_data);  // views into objref
  ActivationRequest out;
  for (const auto& p : properties) out.properties.push_back(p.clsid);

  NdrReader r(find_property(properties, activation_property::instantiation_info(), "InstantiationInfo"));
  out.clsid = r.guid();
  out.class_context = r.u32();
  r.u32();  // actvflags
  r.u32();  // fIsSurrogate
  const std::uint32_t count = r.u32();
  r.u32();  // instFlag
  const bool has_iids = r.unique();
  r.u32();  // thisSize
  out.client_version.major = r.u16();
  out.client_version.minor = r.u16();
  if (count < 1 || count > kMaxInterfaces || !has_iids) {
    throw NdrError("an activation request for " + std::to_string(count) + " interfaces");
  }
  expect_max_count(r, count, 16, "requested IIDs");
  out.iids.resize(count);
  for (auto& iid : out.iids) iid = r.guid();
  expect_body_end(r, "InstantiationInfo");

  NdrReader s(find_property(properties, activation_property::scm_request_info(), "ScmRequestInfo"));
  const bool has_reserved = s.unique();
  const bool has_request = s.unique();
  if (has_reserved) s.u32();
  if (!has_request) throw NdrError("an activation request without its protocol sequences");
  s.u32();  // ClientImpLevel
  const std::uint16_t protseqs = s.u16();
  if (s.unique()) {
    expect_max_count(s, protseqs, 2, "protocol sequences");
    out.protseqs.resize(protseqs);
    for (auto& p : out.protseqs) p = s.u16();
  } else if (protseqs != 0) {
    throw NdrError(std::to_string(protseqs) + " protocol sequences without their array");
  }
  expect_body_end(s, "ScmRequestInfo");
  return out;
}

ActivationResult parse_activation_reply(std::string_view objref_bytes) {
  const ObjRef objref = custom_objref(objref_bytes, clsid::activation_properties_out());
  const auto properties = read_blob(objref.object_data);  // views into objref
  ActivationResult out;
  out.interfaces = read_props_out(find_property(properties, activation_property::props_out_info(), "PropsOutInfo"));
  const bool has_bindings =
      read_scm_reply(find_property(properties, activation_property::scm_reply_info(), "ScmReplyInfo"), out);
  if (!has_bindings) {
    for (const auto& i : out.interfaces) {
      if (i.objref) throw NdrError("an activated object without the bindings of its exporter");
    }
  }
  return out;
}

std::string remote_create_instance_request(const OrpcThis& orpc, const Guid& clsid, const std::vector<Guid>& iids) {
  const ObjRef properties = activation_objref(clsid, iids);
  NdrWriter w;
  write_orpcthis(w, orpc);
  w.unique(false);  // pUnkOuter
  w.unique(true);
  write_interface_pointer(w, properties);
  return w.take();
}

ActivationResult parse_remote_create_instance_reply(std::string_view stub) {
  NdrReader r(stub);
  read_orpcthat(r);
  const bool has_properties = r.unique();
  std::string properties;
  if (has_properties) properties = read_interface_pointer_bytes(r);
  const std::uint32_t error = r.hresult();
  r.expect_end();
  // A success code such as CO_S_NOTALLINTERFACES still carries the properties.
  if ((error & 0x80000000u) != 0) throw DcomError(error, "the activation failed with " + hex32(error));
  if (!has_properties) throw NdrError("an activation answer without its properties");
  return parse_activation_reply(properties);
}

}  // namespace vexa32::dcom
