#pragma once
// The activation properties of IRemoteSCMActivator::RemoteCreateInstance, both ways. The request
// asks for one class and the interfaces wanted from it; the answer gives an HRESULT and an object
// reference per interface, and where the object exporter that holds them listens. Both travel as
// an OBJREF_CUSTOM whose data is a blob: a header naming each property by CLSID and giving its
// size, then the properties, each an NDR type serialized on its own (headers, body, padding to 8).
//
// Nothing here knows OPC; the layers above choose the class and the interfaces.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dcom/guid.h"
#include "platform/dcom/orpc.h"

namespace vexa32::dcom {

// The CLSIDs that name the properties in the blob's header.
namespace activation_property {
Guid instantiation_info();
Guid activation_context_info();
Guid server_location_info();
Guid scm_request_info();
Guid props_out_info();
Guid scm_reply_info();
}  // namespace activation_property

Guid iid_activation_properties_in();

// What the server's answer holds.
struct ActivatedInterface {
  Guid iid;
  std::uint32_t hresult = 0;
  // As the server sent it: always with S_OK, never with a failure; normally OBJREF_STANDARD.
  std::optional<ObjRef> objref;
};

struct ActivationResult {
  std::vector<ActivatedInterface> interfaces;  // in the server's order
  std::uint64_t oxid = 0;
  DualStringArray bindings;  // the object exporter's string and security bindings
  Guid ipid_rem_unknown;
  std::uint32_t authn_hint = 0;  // the lowest authentication level the exporter accepts
  ComVersion server_version;
};

// What a request holds, as a server would read it (for tests and the fuzz target).
struct ActivationRequest {
  Guid clsid;
  std::vector<Guid> iids;
  std::uint32_t class_context = 0;
  ComVersion client_version;
  std::vector<std::uint16_t> protseqs;
  std::vector<Guid> properties;  // the CLSIDs of the blob's header, in order
};

// The OBJREF_CUSTOM of CLSID_ActivationPropertiesIn: the bytes an MInterfacePointer carries as
// pActProperties. DcomError (E_INVALIDARG) for no interfaces or more than a request may name.
std::string activation_request(const Guid& clsid, const std::vector<Guid>& iids);
ActivationRequest parse_activation_request(std::string_view objref_bytes);

// The OBJREF_CUSTOM of CLSID_ActivationPropertiesOut that ppActProperties carries. Properties are
// found by CLSID in whatever order the server put them. NdrError for a missing property, sizes
// that do not add up, counts beyond the data or an interface reported S_OK without its OBJREF.
ActivationResult parse_activation_reply(std::string_view objref_bytes);

// The whole request stub of RemoteCreateInstance: ORPCTHIS, a null pUnkOuter, pActProperties.
std::string remote_create_instance_request(const OrpcThis& orpc, const Guid& clsid, const std::vector<Guid>& iids);
// Its answer stub: ORPCTHAT, ppActProperties, the error code. DcomError with that code when the
// activation failed as a whole; NdrError for an answer that does not decode.
ActivationResult parse_remote_create_instance_reply(std::string_view stub);

}  // namespace vexa32::dcom
