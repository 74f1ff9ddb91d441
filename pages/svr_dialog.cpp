#include "pages/svr_dialog.h"

#include <QKeyEvent>

#include "opc/server_class.h"
#include "pages/twips_p.h"
#include "platform/automation/convert.h"

namespace vexa32::pages {
namespace {

EndpointPicker& endpoint_picker() {
  static EndpointPicker picker;
  return picker;
}

bool is_ua_address(const QString& text) { return text.trimmed().startsWith("opc.tcp://", Qt::CaseInsensitive); }

}  // namespace

void set_endpoint_picker(EndpointPicker picker) { endpoint_picker() = std::move(picker); }

SvrDialog::SvrDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("SvrDialog");
  setWindowTitle("OPC Server");
  qt::use_design_font(*this);
  setFixedSize(px(4710), px(3540));
  OPCServerList = named(new QListWidget(this), "OPCServerList");
  OPCServerList->setToolTip("Click on one of the available OPC servers listed here");
  SelectedOPCServer = named(new QLineEdit("No Server Selected", this), "SelectedOPCServer");
  SelectedOPCServer->setToolTip("Select an OPC server from the list above or enter a Prog ID here");
  OKButton = named(new QPushButton("OK", this), "OKButton");
  CancelButton = named(new QPushButton("Cancel", this), "CancelButton");
  OKButton->setAutoDefault(false);
  OKButton->setDefault(true);
  CancelButton->setAutoDefault(false);
  place(OPCServerList, 120, 120, 4455, 2295);
  place(SelectedOPCServer, 120, 2520, 4455, 345);
  place(OKButton, 2040, 3030, 1215, 390);
  place(CancelButton, 3360, 3030, 1215, 390);
  cmdEndpoints = named(new QPushButton("Endpoints...", this), "cmdEndpoints");
  cmdEndpoints->setToolTip("Show the security endpoints of this OPC UA server and pick one");
  cmdEndpoints->setAutoDefault(false);
  cmdEndpoints->setVisible(static_cast<bool>(endpoint_picker()));
  cmdEndpoints->setEnabled(false);
  place(cmdEndpoints, 120, 3030, 1335, 390);
  connect(SelectedOPCServer, &QLineEdit::textChanged, this,
          [this](const QString& text) { cmdEndpoints->setEnabled(is_ua_address(text)); });
  connect(cmdEndpoints, &QPushButton::clicked, this, [this] { cmdEndpoints_Click(); });
  connect(OPCServerList, &QListWidget::itemClicked, this, [this] { OPCServerList_Click(); });
  // A list's click also comes when the selection moves by keyboard, so arrows and Enter pick too.
  connect(OPCServerList, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* current) {
    if (current && !filling_) OPCServerList_Click();
  });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
}

void SvrDialog::Show() {
  Form_Load();
  exec();
}

void SvrDialog::Form_Load() {
  cancelled_ = false;
  unloaded_ = false;
  SelectedOPCServer->setText(QString::fromStdString(m_svrname));
  ListSvr();
}

void SvrDialog::ListSvr() {
  // No message for an unreachable node or a failed listing: the list stays as far as it got, and
  // a ProgID can still be typed.
  OPCServerClass server;
  Variant list;
  server.GetOPCServerList(list, m_nodname);
  // Filling moves no selection the developer made: the first entry added becomes current by itself.
  filling_ = true;
  OPCServerList->clear();
  if (list.is_array()) {
    try {
      for (const Variant& name : list.array().elements()) OPCServerList->addItem(QString::fromStdString(to_bstr(name)));
    } catch (const AutomationError&) {
    }
  }
  filling_ = false;
}

void SvrDialog::OPCServerList_Click() {
  if (QListWidgetItem* item = OPCServerList->currentItem()) SelectedOPCServer->setText(item->text());
}

void SvrDialog::cmdEndpoints_Click() {
  const QString text = SelectedOPCServer->text().trimmed();
  if (!endpoint_picker() || !is_ua_address(text)) return;
  if (auto picked = endpoint_picker()(this, text.toStdString()))
    SelectedOPCServer->setText(QString::fromStdString(*picked));
}

void SvrDialog::OKButton_Click() { accept(); }

void SvrDialog::CancelButton_Click() {
  cancelled_ = true;
  reject();
}

void SvrDialog::Form_Unload() {
  if (!cancelled_) m_svrname = SelectedOPCServer->text().toStdString();
}

void SvrDialog::done(int result) {
  // Every way of closing unloads: OK, Cancel and the window's close box alike.
  if (!unloaded_) {
    unloaded_ = true;
    Form_Unload();
  }
  QDialog::done(result);
}

void SvrDialog::keyPressEvent(QKeyEvent* event) {
  // Escape is the Cancel button.
  if (event->key() == Qt::Key_Escape) {
    CancelButton_Click();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace vexa32::pages
