#pragma once
// The certificate store in a window: this client's certificate (path, subject, thumbprint,
// validity; copy the thumbprint, export the DER file, make a new one), the trusted server
// certificates (remove) and the rejected ones (trust, delete). It reads the folder on disk each
// time it changes something, so it shows what the client will use.

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "platform/opcua/crypto/certificate.h"

namespace vexa32::pages {

class CertificatesWindow final : public QDialog {
 public:
  explicit CertificatesWindow(std::string pki_folder, QWidget* parent = nullptr);

  // Reads the store again.
  void refresh();
  // Writes our certificate's DER bytes to the file; false, with a message, when it cannot.
  bool export_own(const QString& path);

  QLabel* lblOwn;
  QPushButton* cmdCopyThumbprint;
  QPushButton* cmdExport;
  QPushButton* cmdRenew;
  QTreeWidget* lvTrusted;
  QPushButton* cmdRemove;
  QTreeWidget* lvRejected;
  QPushButton* cmdTrust;
  QPushButton* cmdDelete;

 private:
  void fill(QTreeWidget* list, std::vector<opcua::crypto::Certificate> certificates);
  const opcua::crypto::Certificate* selected(QTreeWidget* list) const;

  std::string folder_;
  std::string own_thumbprint_;
  std::vector<opcua::crypto::Certificate> trusted_, rejected_;
};

}  // namespace vexa32::pages
