#pragma once
// SvrDialog: the server list. Shows the ProgIDs registered on a node and lets the developer pick
// one or type one. Lives for one use.

#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <string>

#include "platform/automation/variant.h"

namespace vexa32::pages {

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

  QListWidget* OPCServerList;
  QLineEdit* SelectedOPCServer;
  QPushButton* OKButton;
  QPushButton* CancelButton;

  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool cancelled_ = false;
  bool filling_ = false;
  bool unloaded_ = false;
};

}  // namespace vexa32::pages
