#include "platform/dcom/da/server_list.h"

#include "platform/dcom/da/opc_ids.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/ndr.h"

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

}  // namespace

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
