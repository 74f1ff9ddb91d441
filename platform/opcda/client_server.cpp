// The server object a client creates ("New OPCServer"): unconnected until Connect finds the
// ProgID in the registry; from then on a front for that server's connection.

#include "platform/opcda/automation.h"
#include "platform/opcda/registry.h"

namespace vexa32::opcda {
namespace {

class ClientServer final : public OPCServer {
 public:
  ~ClientServer() override { unhook(); }

  DATE get_StartTime() override { return live().start_time(); }
  DATE get_CurrentTime() override { return live().current_time(); }
  DATE get_LastUpdateTime() override { return live().last_update_time(); }
  std::int16_t get_MajorVersion() override { return live().major_version(); }
  std::int16_t get_MinorVersion() override { return live().minor_version(); }
  std::int16_t get_BuildNumber() override { return live().build_number(); }
  std::string get_VendorInfo() override { return live().vendor_info(); }
  std::int32_t get_ServerState() override { return live().server_state(); }
  std::string get_ServerName() override { return server_name_; }
  std::string get_ServerNode() override { return server_node_; }
  std::shared_ptr<OPCGroups> get_OPCGroups() override { return live().groups(); }

  Variant GetOPCServers(const Variant& node) override {
    std::vector<Variant> ids;
    for (auto& id : ServerRegistry::instance().prog_ids(node)) ids.emplace_back(std::move(id));
    return make_array(VT_BSTR, ids, 1);
  }

  void Connect(const std::string& prog_id, const Variant& node) override {
    if (connection_) throw hresult_error(hr::E_FAIL, "The server object is connected already");
    std::string node_name = ServerRegistry::node_name(node);
    auto module = ServerRegistry::instance().find(prog_id, node);
    connection_ = module->connect();
    server_name_ = prog_id;
    server_node_ = node_name;
    cookie_ = connection_->shutdown_event().connect([this](const std::string& reason) { shutdown_.raise(reason); });
  }

  void Disconnect() override {
    live().disconnect();
    unhook();
    connection_.reset();
  }

  std::shared_ptr<OPCBrowser> CreateBrowser() override { return live().create_browser(); }
  ServerShutDownEvent& ServerShutDown() override { return shutdown_; }
  std::string data_mode() override { return connection_ ? connection_->data_mode() : std::string(); }
  std::string data_mode_note() override { return connection_ ? connection_->data_mode_note() : std::string(); }

 private:
  ServerConnection& live() {
    if (!connection_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server object is not connected");
    return *connection_;
  }
  void unhook() {
    if (connection_ && cookie_) connection_->shutdown_event().disconnect(cookie_);
    cookie_ = 0;
  }

  std::shared_ptr<ServerConnection> connection_;
  std::string server_name_, server_node_;
  Cookie cookie_ = 0;
  ServerShutDownEvent shutdown_;
};

}  // namespace

std::shared_ptr<OPCServer> create_opc_server() { return std::make_shared<ClientServer>(); }

}  // namespace vexa32::opcda
