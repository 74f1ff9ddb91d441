#pragma once
// The structures every DCOM call carries: ORPCTHIS at the start of a request's stub, ORPCTHAT at
// the start of an answer's, and object references (OBJREF inside an MInterfacePointer) with the
// resolver's string and security bindings. GUIDs and their text form are in guid.h.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dcom/guid.h"
#include "platform/dcom/ndr.h"

namespace vexa32::dcom {

struct ComVersion {
  std::uint16_t major = 5, minor = 7;
  friend bool operator==(const ComVersion&, const ComVersion&) = default;
};

// Out-of-band data of a call; size is data.size(), the padding to 8 bytes is the codec's.
struct OrpcExtent {
  Guid id;
  std::string data;
  friend bool operator==(const OrpcExtent&, const OrpcExtent&) = default;
};

struct OrpcThis {
  ComVersion version;
  std::uint32_t flags = 0;
  std::uint32_t reserved1 = 0;
  Guid cid;                            // causality id
  std::vector<OrpcExtent> extensions;  // none: a null pointer on the wire
  friend bool operator==(const OrpcThis&, const OrpcThis&) = default;
};

struct OrpcThat {
  std::uint32_t flags = 0;
  std::vector<OrpcExtent> extensions;
  friend bool operator==(const OrpcThat&, const OrpcThat&) = default;
};

void write_orpcthis(NdrWriter& w, const OrpcThis& v);
OrpcThis read_orpcthis(NdrReader& r);
void write_orpcthat(NdrWriter& w, const OrpcThat& v);
OrpcThat read_orpcthat(NdrReader& r);

// Where an object exporter or resolver listens: tower 7 (ncacn_ip_tcp) with "host[port]", ...
struct StringBinding {
  std::uint16_t tower_id = 0;
  std::string address;
  friend bool operator==(const StringBinding&, const StringBinding&) = default;
};
struct SecurityBinding {
  std::uint16_t authn_svc = 0;
  std::uint16_t reserved = 0xFFFF;
  std::string principal;
  friend bool operator==(const SecurityBinding&, const SecurityBinding&) = default;
};
struct DualStringArray {
  std::vector<StringBinding> strings;
  std::vector<SecurityBinding> security;
  friend bool operator==(const DualStringArray&, const DualStringArray&) = default;
};

inline constexpr std::uint16_t kTowerTcp = 7;

// The form a call's parameter has (a conformant structure: max count, wNumEntries,
// wSecurityOffset, the entries). NdrError for bindings that break the layout or an offset that
// does not point behind the string bindings.
void write_dual_string_array(NdrWriter& w, const DualStringArray& v);
DualStringArray read_dual_string_array(NdrReader& r);

inline constexpr std::uint32_t kObjrefSignature = 0x574f454d;  // "MEOW"
inline constexpr std::uint32_t OBJREF_STANDARD = 1, OBJREF_HANDLER = 2, OBJREF_CUSTOM = 4, OBJREF_EXTENDED = 8;
inline constexpr std::uint32_t SORF_NOPING = 0x1000;

struct StdObjRef {
  std::uint32_t flags = 0;
  std::uint32_t public_refs = 0;
  std::uint64_t oxid = 0;
  std::uint64_t oid = 0;
  Guid ipid;
  friend bool operator==(const StdObjRef&, const StdObjRef&) = default;
};

// An object reference. Standard: std and resolver; handler: those and clsid; custom: clsid and
// the marshaler's data as they came (an activation blob, ...). Extended ones are refused.
struct ObjRef {
  std::uint32_t kind = OBJREF_STANDARD;
  Guid iid;
  StdObjRef std;
  DualStringArray resolver;
  Guid clsid;
  std::uint32_t reserved = 0;  // custom: ignored by receivers; some senders put the data size here
  std::string object_data;
  friend bool operator==(const ObjRef&, const ObjRef&) = default;
};

// The OBJREF bytes as an MInterfacePointer holds them.
std::string encode_objref(const ObjRef& v);
ObjRef decode_objref(std::string_view bytes);

// An MInterfacePointer (the referent of a PMInterfacePointer): max count, ulCntData, the OBJREF.
void write_interface_pointer(NdrWriter& w, const ObjRef& v);
ObjRef read_interface_pointer(NdrReader& r);
// Its raw bytes, for callers that keep an OBJREF undecoded.
std::string read_interface_pointer_bytes(NdrReader& r);

}  // namespace vexa32::dcom
