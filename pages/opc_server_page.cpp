#include "pages/opc_server_page.h"

#include "pages/svr_dialog.h"
#include "pages/twips_p.h"
#include "platform/automation/convert.h"

namespace vexa32::pages {

OPC_Server::OPC_Server(QWidget* parent) : PropertyPage("OPC_Server", parent) {
  setFixedSize(px(5790), px(2610));
  lblnodname = named(new QLabel("nodname:", this), "lblnodname");
  txtnodname = named(new QLineEdit(this), "txtnodname");
  lblsvrname = named(new QLabel("svrname:", this), "lblsvrname");
  txtsvrname = named(new QLineEdit(this), "txtsvrname");
  cmdBrowse = named(new QPushButton("...", this), "cmdBrowse");
  lblUpdateRate = named(new QLabel("UpdateRate:", this), "lblUpdateRate");
  txtUpdateRate = named(new QLineEdit(this), "txtUpdateRate");
  place(lblnodname, 240, 180, 2895, 285);
  place(txtnodname, 240, 465, 4815, 345);
  place(lblsvrname, 240, 960, 2895, 285);
  place(txtsvrname, 240, 1245, 4815, 345);
  place(cmdBrowse, 5115, 1245, 420, 345);
  place(lblUpdateRate, 240, 1740, 2895, 285);
  place(txtUpdateRate, 240, 2025, 1695, 345);
  // Any change of a box's text marks the page changed, the page's own fills included.
  for (QLineEdit* box : {txtnodname, txtsvrname, txtUpdateRate}) {
    connect(box, &QLineEdit::textChanged, this, [this] { setChanged(true); });
  }
  connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(); });
}

void OPC_Server::SelectionChanged() {
  Dispatch& control = first_selected();
  txtUpdateRate->setText(QString::fromStdString(to_bstr(qt::get_property(control, "UpdateRate"))));
  txtnodname->setText(QString::fromStdString(to_bstr(qt::get_property(control, "nodname"))));
  txtsvrname->setText(QString::fromStdString(to_bstr(qt::get_property(control, "svrname"))));
}

void OPC_Server::ApplyChanges() {
  // The rate first: a text the control cannot take ends the apply before node and server.
  Dispatch& control = first_selected();
  qt::put_property(control, "UpdateRate", Variant(txtUpdateRate->text().toStdString()));
  qt::put_property(control, "nodname", Variant(txtnodname->text().toStdString()));
  qt::put_property(control, "svrname", Variant(txtsvrname->text().toStdString()));
}

void OPC_Server::cmdBrowse_Click() {
  SvrDialog dialog(this);
  dialog.m_nodname = Variant(txtnodname->text().toStdString());
  dialog.m_svrname = txtsvrname->text().toStdString();
  dialog.Show();
  txtsvrname->setText(QString::fromStdString(dialog.m_svrname));
}

}  // namespace vexa32::pages
