#pragma once
// SvrDialog: the server list. Shows the ProgIDs registered on a node and lets the developer pick
// one or type one. Lives for one use.

#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <functional>
#include <optional>
#include <string>

#include "platform/automation/variant.h"

namespace vexa32::pages {

// Shows the endpoints of the OPC UA server at an address and returns the address of the one a
// person picked (nothing when none was). Installed where the UA windows are linked; without one
// the server list is the plain list of ProgIDs.
using EndpointPicker = std::function<std::optional<std::string>(QWidget* parent, const std::string& address)>;
void set_endpoint_picker(EndpointPicker picker);

class SvrDialog final : public QDialog {
 public:
  explicit SvrDialog(QWidget* parent = nullptr);

  // In: the ProgID to preset; out: the accepted ProgID.
  std::string m_svrname;
  // In: the node whose servers are listed.
  Variant m_nodname;

  // Form_Load, then modal until closed.
  void Show();

  void Form_Load();
  void ListSvr();
  void OPCServerList_Click();
  void OKButton_Click();
  void CancelButton_Click();
  void Form_Unload();
  // The endpoints of the UA server in SelectedOPCServer; the pick replaces its text.
  void cmdEndpoints_Click();

  QListWidget* OPCServerList;
  QLineEdit* SelectedOPCServer;
  QPushButton* OKButton;
  QPushButton* CancelButton;
  // Shown where an endpoint picker is installed, enabled for an opc.tcp:// address.
  QPushButton* cmdEndpoints;

  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool cancelled_ = false;
  bool filling_ = false;
  bool unloaded_ = false;
};

}  // namespace vexa32::pages
