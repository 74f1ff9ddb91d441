#include "platform/dcom/orpc.h"

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

// ---- extensions: a pointer in the structure, then the array, its pointers, the extents ----

void write_extents_deferred(NdrWriter& w, const std::vector<OrpcExtent>& extents) {
  if (extents.empty()) return;
  const auto count = static_cast<std::uint32_t>(extents.size());
  w.u32(count);
  w.u32(0);  // reserved
  w.unique(true);
  // The pointer array is rounded up to an even count; the extra one is null.
  const std::uint32_t slots = (count + 1) & ~1u;
  w.conformance(slots);
  for (std::uint32_t i = 0; i < slots; ++i) w.unique(i < count);
  for (const auto& e : extents) {
    const auto size = static_cast<std::uint32_t>(e.data.size());
    const std::uint32_t padded = (size + 7) & ~7u;
    w.conformance(padded);
    w.guid(e.id);
    w.u32(size);
    w.bytes(e.data);
    w.bytes(std::string(padded - size, '\0'));
  }
}

std::vector<OrpcExtent> read_extents_deferred(NdrReader& r) {
  const std::uint32_t count = r.u32();
  r.u32();  // reserved
  const bool has_array = r.unique();
  std::vector<OrpcExtent> out;
  if (!has_array) {
    if (count != 0) throw NdrError("an extent array of " + std::to_string(count) + " extents without its pointers");
    return out;
  }
  const std::uint32_t slots = r.conformance(4);
  if (slots != ((std::uint64_t{count} + 1) & ~std::uint64_t{1})) {
    throw NdrError("an extent array of " + std::to_string(count) + " extents with " + std::to_string(slots) +
                   " pointers");
  }
  std::uint32_t present = 0;
  for (std::uint32_t i = 0; i < slots; ++i) present += r.unique() ? 1 : 0;
  // Each extent takes at least its count, GUID and size.
  r.check_count(present, 24, "an extent array");
  out.reserve(present);
  for (std::uint32_t i = 0; i < present; ++i) {
    const std::uint32_t padded = r.conformance(1);
    OrpcExtent e;
    e.id = r.guid();
    const std::uint32_t size = r.u32();
    if (padded != ((std::uint64_t{size} + 7) & ~std::uint64_t{7})) {
      throw NdrError("an extent of " + std::to_string(size) + " bytes padded to " + std::to_string(padded));
    }
    auto data = r.bytes(padded);
    e.data.assign(data.substr(0, size));
    out.push_back(std::move(e));
  }
  return out;
}

// ---- the entries of a DUALSTRINGARRAY ----

void append_units(std::vector<std::uint16_t>& out, std::string_view utf8, const char* what) {
  for (char16_t c : utf16_from_utf8(utf8)) {
    if (c == 0) throw DcomError(status::E_INVALIDARG, std::string(what) + " holds a NUL");
    out.push_back(c);
  }
  out.push_back(0);
}

std::vector<std::uint16_t> dual_string_entries(const DualStringArray& v, std::uint16_t* security_offset) {
  std::vector<std::uint16_t> e;
  for (const auto& s : v.strings) {
    if (s.tower_id == 0) throw DcomError(status::E_INVALIDARG, "a string binding with tower id 0");
    e.push_back(s.tower_id);
    append_units(e, s.address, "a network address");
  }
  // An empty section is two zeros, otherwise one zero ends it.
  e.push_back(0);
  if (v.strings.empty()) e.push_back(0);
  const std::size_t offset = e.size();
  for (const auto& s : v.security) {
    if (s.authn_svc == 0) throw DcomError(status::E_INVALIDARG, "a security binding with service 0");
    e.push_back(s.authn_svc);
    e.push_back(s.reserved);
    append_units(e, s.principal, "a principal name");
  }
  e.push_back(0);
  if (v.security.empty()) e.push_back(0);
  if (e.size() > 0xFFFF) throw DcomError(status::E_INVALIDARG, "bindings too long for a DUALSTRINGARRAY");
  *security_offset = static_cast<std::uint16_t>(offset);
  return e;
}

// The text from e[i] up to its NUL, which must come before end; i is left behind the NUL.
std::string entry_text(const std::vector<std::uint16_t>& e, std::size_t& i, std::size_t end, const char* what) {
  const std::size_t start = i;
  while (i < end && e[i] != 0) ++i;
  if (i >= end) throw NdrError(std::string(what) + " without its terminating NUL");
  std::u16string units(e.begin() + static_cast<std::ptrdiff_t>(start), e.begin() + static_cast<std::ptrdiff_t>(i));
  ++i;
  return utf8_from_utf16(units);
}

void expect_zeros(const std::vector<std::uint16_t>& e, std::size_t from, std::size_t to, const char* what) {
  for (std::size_t k = from; k < to; ++k) {
    if (e[k] != 0) throw NdrError(std::string("entries after the end of the ") + what);
  }
}

DualStringArray parse_dual_string_entries(const std::vector<std::uint16_t>& e, std::uint16_t security_offset) {
  DualStringArray out;
  const std::size_t n = e.size();
  if (n == 0 && security_offset == 0) return out;
  if (security_offset > n) {
    throw NdrError("a security offset of " + std::to_string(security_offset) + " beyond " + std::to_string(n) +
                   " entries");
  }
  std::size_t i = 0;
  while (i < security_offset && e[i] != 0) {
    StringBinding s;
    s.tower_id = e[i++];
    s.address = entry_text(e, i, security_offset, "a string binding");
    out.strings.push_back(std::move(s));
  }
  if (i >= security_offset) throw NdrError("string bindings that run into the security offset");
  expect_zeros(e, i, security_offset, "string bindings");
  i = security_offset;
  while (i < n && e[i] != 0) {
    SecurityBinding s;
    s.authn_svc = e[i++];
    if (i >= n) throw NdrError("a security binding cut short");
    s.reserved = e[i++];
    s.principal = entry_text(e, i, n, "a security binding");
    out.security.push_back(std::move(s));
  }
  if (i >= n) throw NdrError("security bindings without their terminating NUL");
  expect_zeros(e, i, n, "security bindings");
  return out;
}

std::vector<std::uint16_t> read_entries(NdrReader& r, std::uint16_t count) {
  r.check_count(count, 2, "a DUALSTRINGARRAY");
  std::vector<std::uint16_t> e(count);
  for (auto& u : e) u = r.u16();
  return e;
}

void write_std(NdrWriter& w, const StdObjRef& s) {
  w.u32(s.flags);
  w.u32(s.public_refs);
  w.u64(s.oxid);
  w.u64(s.oid);
  w.guid(s.ipid);
}

StdObjRef read_std(NdrReader& r) {
  StdObjRef s;
  s.flags = r.u32();
  s.public_refs = r.u32();
  s.oxid = r.u64();
  s.oid = r.u64();
  s.ipid = r.guid();
  return s;
}

// Inside an OBJREF the array has no max count of its own.
void write_packed_dual_string_array(NdrWriter& w, const DualStringArray& v) {
  std::uint16_t offset = 0;
  const auto e = dual_string_entries(v, &offset);
  w.u16(static_cast<std::uint16_t>(e.size()));
  w.u16(offset);
  for (auto u : e) w.u16(u);
}

DualStringArray read_packed_dual_string_array(NdrReader& r) {
  const std::uint16_t count = r.u16();
  const std::uint16_t offset = r.u16();
  return parse_dual_string_entries(read_entries(r, count), offset);
}

}  // namespace

void write_orpcthis(NdrWriter& w, const OrpcThis& v) {
  w.u16(v.version.major);
  w.u16(v.version.minor);
  w.u32(v.flags);
  w.u32(v.reserved1);
  w.guid(v.cid);
  w.unique(!v.extensions.empty());
  write_extents_deferred(w, v.extensions);
}

OrpcThis read_orpcthis(NdrReader& r) {
  OrpcThis v;
  v.version.major = r.u16();
  v.version.minor = r.u16();
  v.flags = r.u32();
  v.reserved1 = r.u32();
  v.cid = r.guid();
  if (r.unique()) v.extensions = read_extents_deferred(r);
  return v;
}

void write_orpcthat(NdrWriter& w, const OrpcThat& v) {
  w.u32(v.flags);
  w.unique(!v.extensions.empty());
  write_extents_deferred(w, v.extensions);
}

OrpcThat read_orpcthat(NdrReader& r) {
  OrpcThat v;
  v.flags = r.u32();
  if (r.unique()) v.extensions = read_extents_deferred(r);
  return v;
}

void write_dual_string_array(NdrWriter& w, const DualStringArray& v) {
  std::uint16_t offset = 0;
  const auto e = dual_string_entries(v, &offset);
  w.conformance(static_cast<std::uint32_t>(e.size()));
  w.u16(static_cast<std::uint16_t>(e.size()));
  w.u16(offset);
  for (auto u : e) w.u16(u);
}

DualStringArray read_dual_string_array(NdrReader& r) {
  const std::uint32_t max = r.conformance(2);
  const std::uint16_t count = r.u16();
  const std::uint16_t offset = r.u16();
  if (max != count) {
    throw NdrError("a DUALSTRINGARRAY of " + std::to_string(count) + " entries with a max count of " +
                   std::to_string(max));
  }
  return parse_dual_string_entries(read_entries(r, count), offset);
}

std::string encode_objref(const ObjRef& v) {
  NdrWriter w;
  w.u32(kObjrefSignature);
  w.u32(v.kind);
  w.guid(v.iid);
  switch (v.kind) {
    case OBJREF_STANDARD:
      write_std(w, v.std);
      write_packed_dual_string_array(w, v.resolver);
      break;
    case OBJREF_HANDLER:
      write_std(w, v.std);
      w.guid(v.clsid);
      write_packed_dual_string_array(w, v.resolver);
      break;
    case OBJREF_CUSTOM:
      w.guid(v.clsid);
      w.u32(0);  // cbExtension
      w.u32(v.reserved);
      w.bytes(v.object_data);
      break;
    default: throw DcomError(status::E_INVALIDARG, "an OBJREF of kind " + std::to_string(v.kind));
  }
  return w.take();
}

ObjRef decode_objref(std::string_view bytes) {
  NdrReader r(bytes);
  if (const std::uint32_t signature = r.u32(); signature != kObjrefSignature) {
    throw NdrError("an OBJREF with signature " + std::to_string(signature));
  }
  ObjRef v;
  v.kind = r.u32();
  v.iid = r.guid();
  switch (v.kind) {
    case OBJREF_STANDARD:
      v.std = read_std(r);
      v.resolver = read_packed_dual_string_array(r);
      break;
    case OBJREF_HANDLER:
      v.std = read_std(r);
      v.clsid = r.guid();
      v.resolver = read_packed_dual_string_array(r);
      break;
    case OBJREF_CUSTOM:
      v.clsid = r.guid();
      r.u32();  // cbExtension: zero, and ignored whatever it is
      v.reserved = r.u32();
      v.object_data.assign(r.bytes(r.remaining()));
      break;
    case OBJREF_EXTENDED: throw NdrError("an extended OBJREF (envoy data), which this client does not take");
    default: throw NdrError("an OBJREF of unknown kind " + std::to_string(v.kind));
  }
  return v;
}

void write_interface_pointer(NdrWriter& w, const ObjRef& v) {
  const std::string bytes = encode_objref(v);
  w.conformance(static_cast<std::uint32_t>(bytes.size()));
  w.u32(static_cast<std::uint32_t>(bytes.size()));
  w.bytes(bytes);
}

std::string read_interface_pointer_bytes(NdrReader& r) {
  const std::uint32_t max = r.conformance(1);
  const std::uint32_t count = r.u32();
  if (count != max) {
    throw NdrError("an interface pointer of " + std::to_string(count) + " bytes with a max count of " +
                   std::to_string(max));
  }
  return std::string(r.bytes(count));
}

ObjRef read_interface_pointer(NdrReader& r) { return decode_objref(read_interface_pointer_bytes(r)); }

}  // namespace vexa32::dcom
