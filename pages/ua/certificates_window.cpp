#include "pages/ua/certificates_window.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <fstream>

#include "platform/container/services.h"
#include "platform/opcua/pki/pki.h"
#include "pages/twips_p.h"
#include "platform/qt/design_metrics.h"

namespace vexa32::pages {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

QTreeWidget* certificate_list(QWidget* parent, const char* name) {
  auto* list = named(new QTreeWidget(parent), name);
  list->setHeaderLabels({"Subject", "SHA-1 thumbprint", "Valid to"});
  list->setRootIsDecorated(false);
  list->header()->setStretchLastSection(false);
  list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  list->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  return list;
}

// Runs a change of the store; a failure is shown and the window reads the store again.
template <class F>
void change(CertificatesWindow& w, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    message_box_service().show(std::string("The certificate store cannot be changed: ") + e.what(), "Certificates");
  }
  w.refresh();
}

}  // namespace

CertificatesWindow::CertificatesWindow(std::string pki_folder, QWidget* parent)
    : QDialog(parent), folder_(std::move(pki_folder)) {
  setObjectName("Certificates");
  setWindowTitle("Certificates");
  qt::use_design_font(*this);
  auto* own = new QGroupBox("This client", this);
  lblOwn = named(new QLabel(own), "lblOwn");
  lblOwn->setTextInteractionFlags(Qt::TextSelectableByMouse);
  cmdCopyThumbprint = named(new QPushButton("Copy thumbprint", own), "cmdCopyThumbprint");
  cmdExport = named(new QPushButton("Export…", own), "cmdExport");
  cmdRenew = named(new QPushButton("Make a new one", own), "cmdRenew");
  auto* own_buttons = new QHBoxLayout;
  own_buttons->addWidget(cmdCopyThumbprint);
  own_buttons->addWidget(cmdExport);
  own_buttons->addWidget(cmdRenew);
  own_buttons->addStretch();
  auto* own_layout = new QVBoxLayout(own);
  own_layout->addWidget(lblOwn);
  own_layout->addLayout(own_buttons);

  auto* trusted = new QGroupBox("Trusted servers", this);
  lvTrusted = certificate_list(trusted, "lvTrusted");
  cmdRemove = named(new QPushButton("Remove", trusted), "cmdRemove");
  auto* trusted_layout = new QVBoxLayout(trusted);
  trusted_layout->addWidget(lvTrusted);
  trusted_layout->addWidget(cmdRemove, 0, Qt::AlignLeft);

  auto* rejected = new QGroupBox("Rejected servers", this);
  lvRejected = certificate_list(rejected, "lvRejected");
  cmdTrust = named(new QPushButton("Trust", rejected), "cmdTrust");
  cmdDelete = named(new QPushButton("Delete", rejected), "cmdDelete");
  auto* rejected_buttons = new QHBoxLayout;
  rejected_buttons->addWidget(cmdTrust);
  rejected_buttons->addWidget(cmdDelete);
  rejected_buttons->addStretch();
  auto* rejected_layout = new QVBoxLayout(rejected);
  rejected_layout->addWidget(lvRejected);
  rejected_layout->addLayout(rejected_buttons);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(own);
  layout->addWidget(trusted);
  layout->addWidget(rejected);
  resize(qt::twips_to_px(9000), qt::twips_to_px(7200));

  connect(cmdCopyThumbprint, &QPushButton::clicked, this,
          [this] { QGuiApplication::clipboard()->setText(q(own_thumbprint_)); });
  connect(cmdExport, &QPushButton::clicked, this, [this] {
    QFileDialog dialog(this, "Export this client's certificate", QString(), "DER certificate (*.der)");
    dialog.setObjectName("ExportCertificate");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setDefaultSuffix("der");
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
      export_own(dialog.selectedFiles().front());
  });
  connect(cmdRenew, &QPushButton::clicked, this,
          [this] { change(*this, [this] { opcua::Pki(folder_).renew_own(); }); });
  connect(cmdRemove, &QPushButton::clicked, this, [this] {
    if (const auto* c = selected(lvTrusted)) change(*this, [&] { opcua::Pki(folder_).untrust(*c); });
  });
  connect(cmdTrust, &QPushButton::clicked, this, [this] {
    if (const auto* c = selected(lvRejected)) change(*this, [&] { opcua::Pki(folder_).trust(*c); });
  });
  connect(cmdDelete, &QPushButton::clicked, this, [this] {
    if (const auto* c = selected(lvRejected)) change(*this, [&] { opcua::Pki(folder_).forget_rejected(*c); });
  });
  refresh();
}

void CertificatesWindow::refresh() {
  try {
    opcua::Pki pki(folder_);
    const auto own = pki.own();
    own_thumbprint_ = own.certificate.thumbprint_hex();
    lblOwn->setText(QString("%1\n%2\nSHA-1 thumbprint: %3\nValid %4 to %5")
                        .arg(q(own.certificate_path), q(own.certificate.subject()), q(own_thumbprint_),
                             q(opcua::crypto::format_time(own.certificate.not_before())),
                             q(opcua::crypto::format_time(own.certificate.not_after()))));
    trusted_ = pki.trusted();
    rejected_ = pki.rejected();
  } catch (const std::exception& e) {
    lblOwn->setText(QString("The certificate store %1 cannot be read: %2").arg(q(folder_), e.what()));
    trusted_.clear();
    rejected_.clear();
  }
  fill(lvTrusted, trusted_);
  fill(lvRejected, rejected_);
}

void CertificatesWindow::fill(QTreeWidget* list, std::vector<opcua::crypto::Certificate> certificates) {
  list->clear();
  for (const auto& c : certificates) {
    new QTreeWidgetItem(list, {q(c.subject()), q(c.thumbprint_hex()), q(opcua::crypto::format_time(c.not_after()))});
  }
  if (list->topLevelItemCount() > 0) list->setCurrentItem(list->topLevelItem(0));
}

const opcua::crypto::Certificate* CertificatesWindow::selected(QTreeWidget* list) const {
  const auto& all = list == lvTrusted ? trusted_ : rejected_;
  const int row = list->indexOfTopLevelItem(list->currentItem());
  return row >= 0 && static_cast<std::size_t>(row) < all.size() ? &all[static_cast<std::size_t>(row)] : nullptr;
}

bool CertificatesWindow::export_own(const QString& path) {
  try {
    const auto own = opcua::Pki(folder_).own();
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(own.certificate.der().data(), static_cast<std::streamsize>(own.certificate.der().size()));
    out.close();
    if (!out) throw std::runtime_error("it cannot be written to " + path.toStdString());
    return true;
  } catch (const std::exception& e) {
    message_box_service().show(std::string("This client's certificate is not exported: ") + e.what(), "Certificates");
    return false;
  }
}

}  // namespace vexa32::pages
