#include "platform/dcom/da/server_list.h"

#include <algorithm>
#include <optional>

#include "platform/dcom/da/opc_ids.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/ndr.h"
#include "platform/dcom/orpc.h"

namespace vexa32::dcom::da {
namespace {

constexpr std::uint32_t CO_E_CLASSSTRING = 0x800401F3u;

// An interface held for one look-up, released however it ends.
class Borrowed {
 public:
  Borrowed(DcomNode& node, RemoteInterface held) : node_(node), held_(std::move(held)) {}
  ~Borrowed() { node_.release(held_); }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  const RemoteInterface& operator*() const { return held_; }

 private:
  DcomNode& node_;
  RemoteInterface held_;
};

// OpcEnum with its newer list where it has one (DA 3 era core components), else the first.
std::pair<RemoteInterface, const InterfaceInfo*> server_list(DcomNode& node) {
  const InterfaceInfo& list2 = interface_info("IOPCServerList2");
  try {
    return {node.create_instance(clsid::opc_enum(), list2.iid), &list2};
  } catch (const DcomError& e) {
    if (e.hresult() != status::E_NOINTERFACE) throw;
  }
  const InterfaceInfo& list = interface_info("IOPCServerList");
  return {node.create_instance(clsid::opc_enum(), list.iid), &list};
}

// GUIDs of the enumerator's Next: max count, offset, actual count, the GUIDs, then how many came.
std::vector<Guid> next_guids(DcomNode& node, const RemoteInterface& enumerator, const InterfaceInfo& interface,
                             std::uint32_t wanted, bool& more) {
  NdrWriter w;
  w.u32(wanted);
  const std::string answer = node.call(enumerator, interface, opnum(interface.name, "Next"), w.data());
  NdrReader r(answer);
  // A varying array: of its max count (what we asked for) only the actual count is sent.
  const std::uint32_t max = r.u32();
  if (max != wanted) throw NdrError("an enumerator's answer for another count than asked");
  const Variance v = r.variance(max, 16);
  std::vector<Guid> out;
  out.reserve(v.actual);
  for (std::uint32_t i = 0; i < v.actual; ++i) out.push_back(r.guid());
  const std::uint32_t fetched = r.u32();
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  if (hr & 0x80000000u) throw DcomError(hr, "the server list of " + node.host() + " could not be read");
  if (fetched != v.actual || fetched > wanted) throw NdrError("an enumerator's count that does not add up");
  more = hr == 0 && fetched == wanted;
  return out;
}

}  // namespace

std::vector<std::string> node_servers(DcomNode& node) {
  install_opc_interfaces();
  auto [found, interface] = server_list(node);
  const Borrowed list(node, found);
  NdrWriter w;
  const Guid categories[] = {catid::da10(), catid::da20(), catid::da30()};
  w.u32(3);
  w.conformance(3);
  for (const Guid& g : categories) w.guid(g);
  w.u32(0);
  w.conformance(0);
  const std::string answer = node.call(*list, *interface, opnum(interface->name, "EnumClassesOfCategories"), w.data());
  NdrReader r(answer);
  std::optional<ObjRef> enumerator;
  if (r.unique()) enumerator = read_interface_pointer(r);
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  if (hr & 0x80000000u) throw DcomError(hr, "OpcEnum on " + node.host() + " could not list its servers");
  if (!enumerator) return {};
  const Borrowed classes(node, node.adopt(*enumerator));
  const InterfaceInfo& enum_interface =
      interface_info(interface->name == std::string_view("IOPCServerList2") ? "IOPCEnumGUID" : "IEnumGUID");
  std::vector<Guid> clsids;
  for (bool more = true; more && clsids.size() < 4096;) {
    for (const Guid& g : next_guids(node, *classes, enum_interface, 64, more))
      if (std::find(clsids.begin(), clsids.end(), g) == clsids.end()) clsids.push_back(g);
  }
  std::vector<std::string> out;
  for (const Guid& clsid : clsids) {
    NdrWriter d;
    d.guid(clsid);
    const std::string details = node.call(*list, *interface, opnum(interface->name, "GetClassDetails"), d.data());
    NdrReader dr(details);
    // The ProgID, the user type and (list 2) the version-independent ProgID; the first is the name.
    std::string prog_id;
    const int texts = interface->name == std::string_view("IOPCServerList2") ? 3 : 2;
    for (int t = 0; t < texts; ++t) {
      if (!dr.unique()) continue;
      std::string text = dr.wide_string();
      if (t == 0) prog_id = std::move(text);
    }
    const std::uint32_t detail_hr = dr.hresult();
    dr.expect_end();
    if (detail_hr & 0x80000000u || prog_id.empty()) continue;  // a class without details has no name to give
    if (std::find(out.begin(), out.end(), prog_id) == out.end()) out.push_back(std::move(prog_id));
  }
  return out;
}

Guid server_clsid(DcomNode& node, const std::string& prog_id) {
  if (!prog_id.empty() && prog_id.front() == '{') {
    if (auto clsid = parse_guid(prog_id)) return *clsid;
  }
  install_opc_interfaces();
  auto [found, interface] = server_list(node);
  const Borrowed list(node, found);
  NdrWriter w;
  w.wide_string(prog_id);
  const std::string answer = node.call(*list, *interface, opnum(interface->name, "CLSIDFromProgID"), w.data());
  NdrReader r(answer);
  const Guid clsid = r.guid();
  const std::uint32_t hr = r.hresult();
  r.expect_end();
  // OpcEnum answers as CLSIDFromProgID does on Windows: an unknown ProgID is not a class string.
  if (hr == CO_E_CLASSSTRING || hr == status::REGDB_E_CLASSNOTREG)
    throw DcomError(status::REGDB_E_CLASSNOTREG, "Class not registered on " + node.host() + ": \"" + prog_id + "\"");
  if (hr & 0x80000000u) throw DcomError(hr, "OpcEnum on " + node.host() + " could not look up \"" + prog_id + "\"");
  if (clsid.is_null()) throw NdrError("OpcEnum on " + node.host() + " named no class for \"" + prog_id + "\"");
  return clsid;
}

}  // namespace vexa32::dcom::da
