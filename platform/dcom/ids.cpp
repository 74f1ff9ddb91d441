#include "platform/dcom/ids.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

// COM interfaces start after IUnknown's QueryInterface, AddRef and Release.
constexpr std::uint16_t kAfterIUnknown = 3;

std::vector<InterfaceInfo> dcom_interfaces() {
  return {
      {"IRemoteSCMActivator",
       guid("000001A0-0000-0000-C000-000000000046"),
       0,
       0,
       0,
       {"Opnum0NotUsedOnWire", "Opnum1NotUsedOnWire", "Opnum2NotUsedOnWire", "RemoteGetClassObject",
        "RemoteCreateInstance"}},
      {"IObjectExporter",
       guid("99FCFEC4-5260-101B-BBCB-00AA0021347A"),
       0,
       0,
       0,
       {"ResolveOxid", "SimplePing", "ComplexPing", "ServerAlive", "ResolveOxid2", "ServerAlive2"}},
      {"IRemUnknown",
       guid("00000131-0000-0000-C000-000000000046"),
       0,
       0,
       kAfterIUnknown,
       {"RemQueryInterface", "RemAddRef", "RemRelease"}},
      {"IRemUnknown2",
       guid("00000143-0000-0000-C000-000000000046"),
       0,
       0,
       kAfterIUnknown,
       {"RemQueryInterface", "RemAddRef", "RemRelease", "RemQueryInterface2"}},
  };
}

struct Tables {
  std::mutex mutex;
  std::map<std::string, InterfaceInfo, std::less<>> by_name;
  Tables() {
    for (auto& i : dcom_interfaces()) by_name.emplace(std::string(i.name), i);
  }
};

Tables& tables() {
  static Tables t;
  return t;
}

}  // namespace

const InterfaceInfo& interface_info(std::string_view name) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  auto it = t.by_name.find(name);
  if (it == t.by_name.end()) throw DcomError(status::E_NOINTERFACE, "no interface " + std::string(name) + " is known");
  return it->second;
}

void add_interfaces(const std::vector<InterfaceInfo>& table) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  for (const auto& i : table) {
    if (!t.by_name.emplace(std::string(i.name), i).second)
      throw DcomError(status::E_FAIL, "the interface " + std::string(i.name) + " is in two tables");
  }
}

std::uint16_t opnum(std::string_view interface, std::string_view method) {
  const InterfaceInfo& i = interface_info(interface);
  for (std::size_t n = 0; n < i.methods.size(); ++n) {
    if (i.methods[n] == method) return static_cast<std::uint16_t>(i.first_opnum + n);
  }
  throw DcomError(status::E_FAIL, std::string(interface) + " has no method " + std::string(method));
}

namespace clsid {
Guid activation_properties_in() { return guid("00000338-0000-0000-C000-000000000046"); }
Guid activation_properties_out() { return guid("00000339-0000-0000-C000-000000000046"); }
}  // namespace clsid

}  // namespace vexa32::dcom
