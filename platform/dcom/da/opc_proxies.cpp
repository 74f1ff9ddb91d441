#include "platform/dcom/da/opc_proxies.h"

#include <cstdio>

#include "platform/automation/convert.h"
#include "platform/dcom/da/opc_ids.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/oaut.h"
#include "platform/dcom/orpc.h"

namespace vexa32::dcom::da {
namespace {

constexpr std::uint32_t kLocale = 0x409;  // en-US: the error texts servers give
constexpr std::size_t kItemResultSize = 20;

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// Calls interface::method on the target and returns the answer after ORPCTHAT.
std::string call(DcomNode& node, const RemoteInterface& target, const char* interface, const char* method,
                 std::string_view stub) {
  install_opc_interfaces();
  return node.call(target, interface_info(interface), opnum(interface, method), stub);
}

void check(std::uint32_t hresult, const char* interface, const char* method, const DcomNode& node) {
  if (hresult & 0x80000000u)
    throw DcomError(hresult,
                    std::string(interface) + "::" + method + " on " + node.host() + " failed (" + hex(hresult) + ")");
}

void write_handles(NdrWriter& w, const std::vector<std::uint32_t>& handles) {
  w.u32(static_cast<std::uint32_t>(handles.size()));
  w.conformance(static_cast<std::uint32_t>(handles.size()));
  for (std::uint32_t h : handles) w.u32(h);
}

// [out, size_is(dwCount)] HRESULT** ppErrors: count of them, or none when the call failed.
std::vector<std::uint32_t> read_errors(NdrReader& r, std::size_t count) {
  std::vector<std::uint32_t> out;
  if (!r.unique()) return out;
  if (r.conformance(4) != count) throw NdrError("errors for another number of items");
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(r.hresult());
  return out;
}

// The per-item answer of IOPCItemMgt and IOPCSyncIO methods that give only errors.
std::vector<std::uint32_t> per_item(DcomNode& node, const std::string& answer, std::size_t count, const char* interface,
                                    const char* method) {
  NdrReader r(answer);
  std::vector<std::uint32_t> errors = read_errors(r, count);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, interface, method, node);
  if (errors.size() != count) throw NdrError(std::string(method) + " answered without its errors");
  return errors;
}

// One text behind a unique pointer, or nothing.
std::string optional_text(NdrReader& r) { return r.unique() ? r.wide_string() : std::string(); }

}  // namespace

ServerStatus get_status(DcomNode& node, const RemoteInterface& server) {
  const std::string answer = call(node, server, "IOPCServer", "GetStatus", "");
  NdrReader r(answer);
  ServerStatus s;
  const bool present = r.unique();
  if (present) {
    s.start_time = r.filetime();
    s.current_time = r.filetime();
    s.last_update_time = r.filetime();
    s.state = r.u16();  // OPCSERVERSTATE, an enum: 16 bits on the wire
    s.group_count = r.u32();
    s.band_width = r.u32();
    s.major = r.u16();
    s.minor = r.u16();
    s.build = r.u16();
    r.u16();
    s.vendor = optional_text(r);
  }
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCServer", "GetStatus", node);
  if (!present) throw NdrError("GetStatus answered no status");
  return s;
}

void set_client_name(DcomNode& node, const RemoteInterface& common, const std::string& name) {
  NdrWriter w;
  w.wide_string(name);
  const std::string answer = call(node, common, "IOPCCommon", "SetClientName", w.data());
  NdrReader r(answer);
  check(r.hresult(), "IOPCCommon", "SetClientName", node);
}

GroupAdded add_group(DcomNode& node, const RemoteInterface& server, const std::string& name, bool active,
                     std::uint32_t update_rate, std::uint32_t client_handle, float deadband) {
  install_opc_interfaces();
  NdrWriter w;
  w.wide_string(name);
  w.i32(active ? 1 : 0);
  w.u32(update_rate);
  w.u32(client_handle);
  w.unique(false);  // pTimeBias: the server's own
  w.unique(true);
  w.f32(deadband);
  w.u32(kLocale);
  w.guid(interface_info("IOPCItemMgt").iid);
  const std::string answer = call(node, server, "IOPCServer", "AddGroup", w.data());
  NdrReader r(answer);
  GroupAdded out;
  out.server_handle = r.u32();
  out.revised_rate = r.u32();
  std::optional<ObjRef> group;
  if (r.unique()) group = read_interface_pointer(r);
  r.align(4);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCServer", "AddGroup", node);
  if (!group) throw NdrError("AddGroup answered no group");
  out.item_mgt = node.adopt(*group);
  return out;
}

void remove_group(DcomNode& node, const RemoteInterface& server, std::uint32_t server_handle) {
  NdrWriter w;
  w.u32(server_handle);
  w.i32(1);  // bForce: our references to it are released right after
  const std::string answer = call(node, server, "IOPCServer", "RemoveGroup", w.data());
  NdrReader r(answer);
  check(r.hresult(), "IOPCServer", "RemoveGroup", node);
}

std::uint32_t set_group_state(DcomNode& node, const RemoteInterface& state_mgt, std::optional<std::uint32_t> rate,
                              std::optional<bool> active, std::optional<float> deadband) {
  NdrWriter w;
  // Each [in, unique] parameter: its pointer and at once its value.
  if (w.unique(rate.has_value())) w.u32(*rate);
  if (w.unique(active.has_value())) w.i32(*active ? 1 : 0);
  w.unique(false);  // time bias
  if (w.unique(deadband.has_value())) w.f32(*deadband);
  w.unique(false);  // locale
  w.unique(false);  // client handle
  const std::string answer = call(node, state_mgt, "IOPCGroupStateMgt", "SetState", w.data());
  NdrReader r(answer);
  const std::uint32_t revised = r.u32();
  check(r.hresult(), "IOPCGroupStateMgt", "SetState", node);
  return revised;
}

namespace {

// AddItems and ValidateItems take the same definitions and give the same results.
std::vector<ItemResult> item_results(DcomNode& node, const RemoteInterface& item_mgt, const std::vector<ItemDef>& items,
                                     const char* method) {
  NdrWriter w;
  const auto count = static_cast<std::uint32_t>(items.size());
  w.u32(count);
  w.conformance(count);
  for (const ItemDef& d : items) {
    w.unique(!d.access_path.empty());
    w.unique(true);
    w.i32(d.active ? 1 : 0);
    w.u32(d.client_handle);
    w.u32(0);         // dwBlobSize
    w.unique(false);  // pBlob
    w.u16(d.requested_type);
    w.u16(0);
  }
  for (const ItemDef& d : items) {
    if (!d.access_path.empty()) w.wide_string(d.access_path);
    w.wide_string(d.item_id);
  }
  if (method == std::string_view("ValidateItems")) w.i32(0);  // bBlobUpdate: we keep no blobs
  const std::string answer = call(node, item_mgt, "IOPCItemMgt", method, w.data());
  NdrReader r(answer);
  std::vector<ItemResult> out;
  if (r.unique()) {
    if (r.conformance(kItemResultSize) != count)
      throw NdrError(std::string(method) + " answered for another number of items");
    std::vector<bool> blob(count);
    out.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      out[i].server_handle = r.u32();
      out[i].canonical_type = r.u16();
      r.u16();
      out[i].access_rights = r.u32();
      r.u32();  // dwBlobSize
      blob[i] = r.unique();
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!blob[i]) continue;
      const std::uint32_t size = r.conformance(1);
      r.bytes(size);  // a server's blob is ours to give back only if we asked to keep it: we do not
      r.align(4);
    }
  }
  const std::vector<std::uint32_t> errors = read_errors(r, count);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCItemMgt", method, node);
  if (out.size() != count || errors.size() != count)
    throw NdrError(std::string(method) + " answered without its results");
  for (std::uint32_t i = 0; i < count; ++i) out[i].hresult = errors[i];
  return out;
}

}  // namespace

std::vector<ItemResult> add_items(DcomNode& node, const RemoteInterface& item_mgt, const std::vector<ItemDef>& items) {
  return item_results(node, item_mgt, items, "AddItems");
}

std::vector<ItemResult> validate_items(DcomNode& node, const RemoteInterface& item_mgt,
                                       const std::vector<ItemDef>& items) {
  return item_results(node, item_mgt, items, "ValidateItems");
}

std::vector<std::uint32_t> remove_items(DcomNode& node, const RemoteInterface& item_mgt,
                                        const std::vector<std::uint32_t>& server_handles) {
  NdrWriter w;
  write_handles(w, server_handles);
  return per_item(node, call(node, item_mgt, "IOPCItemMgt", "RemoveItems", w.data()), server_handles.size(),
                  "IOPCItemMgt", "RemoveItems");
}

std::vector<std::uint32_t> set_active_state(DcomNode& node, const RemoteInterface& item_mgt,
                                            const std::vector<std::uint32_t>& server_handles, bool active) {
  NdrWriter w;
  write_handles(w, server_handles);
  w.i32(active ? 1 : 0);
  return per_item(node, call(node, item_mgt, "IOPCItemMgt", "SetActiveState", w.data()), server_handles.size(),
                  "IOPCItemMgt", "SetActiveState");
}

std::vector<std::uint32_t> set_datatypes(DcomNode& node, const RemoteInterface& item_mgt,
                                         const std::vector<std::uint32_t>& server_handles,
                                         const std::vector<std::uint16_t>& types) {
  NdrWriter w;
  write_handles(w, server_handles);
  w.conformance(static_cast<std::uint32_t>(types.size()));
  for (std::uint16_t t : types) w.u16(t);
  return per_item(node, call(node, item_mgt, "IOPCItemMgt", "SetDatatypes", w.data()), server_handles.size(),
                  "IOPCItemMgt", "SetDatatypes");
}

ReadAnswer sync_read(DcomNode& node, const RemoteInterface& sync_io, std::uint16_t source,
                     const std::vector<std::uint32_t>& server_handles) {
  NdrWriter w;
  w.u16(source);
  write_handles(w, server_handles);
  const std::string answer = call(node, sync_io, "IOPCSyncIO", "Read", w.data());
  NdrReader r(answer);
  ReadAnswer out = read_item_states_answer(r, static_cast<std::uint32_t>(server_handles.size()));
  check(out.result, "IOPCSyncIO", "Read", node);
  if (out.states.size() != server_handles.size() || out.errors.size() != server_handles.size())
    throw NdrError("Read answered without its item states");
  return out;
}

std::vector<std::uint32_t> sync_write(DcomNode& node, const RemoteInterface& sync_io,
                                      const std::vector<std::uint32_t>& server_handles,
                                      const std::vector<Variant>& values) {
  NdrWriter w;
  write_handles(w, server_handles);
  // [in, size_is(dwCount)] VARIANT*: a conformant array of wire VARIANTs, their bodies deferred.
  w.conformance(static_cast<std::uint32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) w.unique(true);
  for (const Variant& v : values) write_variant_body(w, v);
  return per_item(node, call(node, sync_io, "IOPCSyncIO", "Write", w.data()), server_handles.size(), "IOPCSyncIO",
                  "Write");
}

RemoteInterface find_connection_point(DcomNode& node, const RemoteInterface& container, const Guid& iid) {
  NdrWriter w;
  w.guid(iid);
  const std::string answer = call(node, container, "IConnectionPointContainer", "FindConnectionPoint", w.data());
  NdrReader r(answer);
  std::optional<ObjRef> point;
  if (r.unique()) point = read_interface_pointer(r);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IConnectionPointContainer", "FindConnectionPoint", node);
  if (!point) throw NdrError("FindConnectionPoint succeeded without a connection point");
  return node.adopt(*point);
}

std::uint32_t advise(DcomNode& node, const RemoteInterface& point, const ObjRef& sink) {
  NdrWriter w;
  w.unique(true);
  write_interface_pointer(w, sink);
  const std::string answer = call(node, point, "IConnectionPoint", "Advise", w.data());
  NdrReader r(answer);
  const std::uint32_t cookie = r.u32();
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IConnectionPoint", "Advise", node);
  return cookie;
}

void unadvise(DcomNode& node, const RemoteInterface& point, std::uint32_t cookie) {
  NdrWriter w;
  w.u32(cookie);
  const std::string answer = call(node, point, "IConnectionPoint", "Unadvise", w.data());
  NdrReader r(answer);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IConnectionPoint", "Unadvise", node);
}

std::uint32_t refresh2(DcomNode& node, const RemoteInterface& async_io, std::uint16_t source,
                       std::uint32_t transaction) {
  NdrWriter w;
  w.u16(source);
  w.u32(transaction);
  const std::string answer = call(node, async_io, "IOPCAsyncIO2", "Refresh2", w.data());
  NdrReader r(answer);
  const std::uint32_t cancel = r.u32();
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCAsyncIO2", "Refresh2", node);
  return cancel;
}

std::uint32_t set_keep_alive(DcomNode& node, const RemoteInterface& state_mgt2, std::uint32_t ms) {
  NdrWriter w;
  w.u32(ms);
  const std::string answer = call(node, state_mgt2, "IOPCGroupStateMgt2", "SetKeepAlive", w.data());
  NdrReader r(answer);
  const std::uint32_t revised = r.u32();
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCGroupStateMgt2", "SetKeepAlive", node);
  return revised;
}

std::uint32_t query_organization(DcomNode& node, const RemoteInterface& browse) {
  const std::string answer = call(node, browse, "IOPCBrowseServerAddressSpace", "QueryOrganization", "");
  NdrReader r(answer);
  const std::uint32_t organization = r.u16();  // OPCNAMESPACETYPE, an enum
  check(r.hresult(), "IOPCBrowseServerAddressSpace", "QueryOrganization", node);
  return organization;
}

void change_browse_position(DcomNode& node, const RemoteInterface& browse, BrowseDirection direction,
                            const std::string& target) {
  NdrWriter w;
  w.u16(static_cast<std::uint16_t>(direction));
  w.wide_string(target);
  const std::string answer = call(node, browse, "IOPCBrowseServerAddressSpace", "ChangeBrowsePosition", w.data());
  NdrReader r(answer);
  check(r.hresult(), "IOPCBrowseServerAddressSpace", "ChangeBrowsePosition", node);
}

std::vector<std::string> browse_item_ids(DcomNode& node, const RemoteInterface& browse, BrowseType type,
                                         const std::string& filter, std::uint16_t data_type,
                                         std::uint32_t access_rights) {
  NdrWriter w;
  w.u16(static_cast<std::uint16_t>(type));
  w.wide_string(filter);
  w.u16(data_type);
  w.u32(access_rights);
  const std::string answer = call(node, browse, "IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs", w.data());
  NdrReader r(answer);
  std::optional<ObjRef> strings;
  if (r.unique()) strings = read_interface_pointer(r);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  check(hr, "IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs", node);
  std::vector<std::string> out;
  if (!strings) return out;
  const RemoteInterface enumerator = node.adopt(*strings);
  try {
    // IEnumString::Next: a varying array of text pointers, their texts deferred behind it.
    constexpr std::uint32_t kBatch = 256;
    for (bool more = true; more && out.size() < (1u << 20);) {
      NdrWriter next;
      next.u32(kBatch);
      const std::string batch = call(node, enumerator, "IEnumString", "Next", next.data());
      NdrReader b(batch);
      if (b.u32() != kBatch) throw NdrError("IEnumString::Next answered for another count than asked");
      const Variance v = b.variance(kBatch, 4);
      std::vector<bool> present(v.actual);
      for (std::uint32_t i = 0; i < v.actual; ++i) present[i] = b.unique();
      for (std::uint32_t i = 0; i < v.actual; ++i)
        if (present[i]) out.push_back(b.wide_string());
      const std::uint32_t fetched = b.u32();
      const std::uint32_t next_hr = b.hresult();
      b.expect_end();
      check(next_hr, "IEnumString", "Next", node);
      if (fetched != v.actual) throw NdrError("IEnumString::Next counted its texts wrong");
      more = next_hr == 0 && fetched == kBatch;
    }
  } catch (...) {
    node.release(enumerator);
    throw;
  }
  node.release(enumerator);
  return out;
}

std::string get_item_id(DcomNode& node, const RemoteInterface& browse, const std::string& name) {
  NdrWriter w;
  w.wide_string(name);
  const std::string answer = call(node, browse, "IOPCBrowseServerAddressSpace", "GetItemID", w.data());
  NdrReader r(answer);
  std::string id = optional_text(r);
  check(r.hresult(), "IOPCBrowseServerAddressSpace", "GetItemID", node);
  return id;
}

namespace {

// OPCBROWSEELEMENT: szName, szItemID, dwFlagValue, dwReserved and OPCITEMPROPERTIES (hrErrorID,
// dwNumProperties, pItemProperties, dwReserved); OPCITEMPROPERTY: vtDataType, wReserved,
// dwPropertyID, szItemID, szDescription, hrErrorID, the VARIANT's pointer, dwReserved.
constexpr std::size_t kBrowseElementSize = 32, kItemPropertySize = 28;
constexpr std::uint32_t kHasChildren = 1, kIsItem = 2;
constexpr std::uint32_t kCanonicalType = 1, kAccessRights = 5;  // property IDs
constexpr std::uint32_t kBrowsePage = 500;
constexpr std::size_t kMostElements = 1u << 20, kMostCalls = 4096;

// The text of a pointer read earlier in its structure.
std::string deferred_text(NdrReader& r, bool present) { return present ? r.wide_string() : std::string(); }

// The properties of one element, deferred behind the element array in the element's turn.
void read_properties(NdrReader& r, std::uint32_t count, BrowseElement& e) {
  if (r.conformance(kItemPropertySize) != count) throw NdrError("Browse counted an element's properties wrong");
  struct Fixed {
    std::uint32_t id, hresult;
    bool item_id, description, value;
  };
  std::vector<Fixed> fixed(count);
  for (Fixed& f : fixed) {
    r.u16();  // vtDataType: the value says its own type
    r.u16();
    f.id = r.u32();
    f.item_id = r.unique();
    f.description = r.unique();
    f.hresult = r.hresult();
    f.value = r.unique();
    r.u32();
  }
  for (const Fixed& f : fixed) {
    deferred_text(r, f.item_id);
    deferred_text(r, f.description);
    if (!f.value) continue;
    const Variant value = read_variant_body(r);
    if (f.hresult & 0x80000000u) continue;
    if (f.id == kCanonicalType) e.data_type = static_cast<std::uint16_t>(to_i4(value));
    if (f.id == kAccessRights) e.access_rights = static_cast<std::uint32_t>(to_i4(value));
  }
}

}  // namespace

std::vector<BrowseElement> browse_elements(DcomNode& node, const RemoteInterface& browse, const std::string& item_id,
                                           BrowseFilter filter, bool with_type_and_rights) {
  std::vector<BrowseElement> out;
  std::string continuation;
  for (std::size_t calls = 0;;) {
    NdrWriter w;
    w.wide_string(item_id);
    w.unique(!continuation.empty());  // [in, out] LPWSTR*: the pointer is ref, the text unique
    if (!continuation.empty()) w.wide_string(continuation);
    w.u32(kBrowsePage);
    w.u16(static_cast<std::uint16_t>(filter));
    w.wide_string("");  // names are filtered here, with the pattern rules of every other browser
    w.wide_string("");
    w.i32(0);  // not every property
    w.i32(with_type_and_rights ? 1 : 0);
    const std::vector<std::uint32_t> ids =
        with_type_and_rights ? std::vector<std::uint32_t>{kCanonicalType, kAccessRights} : std::vector<std::uint32_t>{};
    w.u32(static_cast<std::uint32_t>(ids.size()));
    w.conformance(static_cast<std::uint32_t>(ids.size()));
    for (std::uint32_t id : ids) w.u32(id);
    const std::string answer = call(node, browse, "IOPCBrowse", "Browse", w.data());
    NdrReader r(answer);
    std::string next;
    if (r.unique()) next = r.wide_string();
    const bool more = r.i32() != 0;
    const std::uint32_t count = r.u32();
    const std::size_t first = out.size();
    if (r.unique()) {
      if (r.conformance(kBrowseElementSize) != count) throw NdrError("Browse counted its elements wrong");
      if (out.size() + count > kMostElements) throw NdrError("Browse lists more elements than any address space has");
      struct Fixed {
        bool name, item_id, properties;
        std::uint32_t property_count;
      };
      std::vector<Fixed> fixed(count);
      out.resize(first + count);
      for (std::uint32_t i = 0; i < count; ++i) {
        BrowseElement& e = out[first + i];
        fixed[i].name = r.unique();
        fixed[i].item_id = r.unique();
        const std::uint32_t flags = r.u32();
        e.has_children = (flags & kHasChildren) != 0;
        e.is_item = (flags & kIsItem) != 0;
        r.u32();
        r.hresult();  // per property below
        fixed[i].property_count = r.u32();
        fixed[i].properties = r.unique();
        r.u32();
      }
      for (std::uint32_t i = 0; i < count; ++i) {
        BrowseElement& e = out[first + i];
        e.name = deferred_text(r, fixed[i].name);
        e.item_id = deferred_text(r, fixed[i].item_id);
        if (fixed[i].properties) read_properties(r, fixed[i].property_count, e);
      }
    } else if (count != 0) {
      throw NdrError("Browse counted elements it did not give");
    }
    const std::uint32_t hr = r.hresult();
    r.expect_end();
    check(hr, "IOPCBrowse", "Browse", node);
    // Done when the server has no more, or gives a continuation that would ask the same again.
    if (!more || next.empty() || next == continuation) break;
    if (++calls > kMostCalls) throw NdrError("Browse keeps giving continuation points without end");
    continuation = std::move(next);
  }
  return out;
}

}  // namespace vexa32::dcom::da
