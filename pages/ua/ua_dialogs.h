#pragma once
// The windows of the UA client's questions: a server certificate that is not trusted, and a
// login. QtDecisions installs them as the client's decision service, so every window that
// connects (the tag browser, the pages, a running form, a widget) asks the same way, modal to
// the window that connects.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <optional>
#include <string>
#include <vector>

#include "platform/opcua/decisions.h"
#include "platform/opcua/services.h"

namespace vexa32::pages {

// "Trust", "Trust for this session", "Refuse"; only "Refuse" where the certificate cannot be
// trusted (expired, revoked, ...), and then the dialog says why.
class UntrustedServerDialog final : public QDialog {
 public:
  explicit UntrustedServerDialog(const opcua::UntrustedServer& server, QWidget* parent = nullptr);
  opcua::TrustAnswer answer() const noexcept { return answer_; }

  QLabel* lblProblem;
  QLabel* lblDetails;
  QPushButton* cmdTrust;
  QPushButton* cmdSession;
  QPushButton* cmdRefuse;

 private:
  opcua::TrustAnswer answer_ = opcua::TrustAnswer::Refuse;
};

class LoginDialog final : public QDialog {
 public:
  explicit LoginDialog(const opcua::LoginQuestion& question, QWidget* parent = nullptr);
  opcua::LoginAnswer answer() const;

  QLabel* lblServer;
  QLabel* lblRefusal;
  QLineEdit* txtUser;
  QLineEdit* txtPassword;
  QCheckBox* chkRemember;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
};

// A UA server's endpoints, most secure first: security mode, policy, the logins each takes and
// its SecurityLevel. The one the address would connect to now is selected; endpoints this client
// cannot use are shown, greyed. OK gives the address that picks the selected one.
class EndpointDialog final : public QDialog {
 public:
  // Asks the server; a server that cannot be asked leaves the list empty and says why.
  explicit EndpointDialog(const std::string& address, QWidget* parent = nullptr);
  // The endpoints as the server gave them, or the failure to get them.
  struct Endpoints {
    std::vector<opcua::EndpointDescription> list;
    std::string failure;
  };
  EndpointDialog(const std::string& address, Endpoints endpoints, QWidget* parent = nullptr);
  // After OK: the address with the picked endpoint's security; nothing after Cancel.
  std::optional<std::string> picked() const { return picked_; }

  QLabel* lblServer;
  QTreeWidget* lvEndpoints;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

 private:
  std::string address_;
  std::vector<opcua::EndpointDescription> endpoints_;  // most secure first, as the rows
  std::optional<std::string> picked_;
};

// The dialogs as the client's decision service, and the endpoint list as the server list's
// endpoint picker, for the life of this object; on a thread other than the GUI's the questions
// are not shown and the answer is "refuse".
class QtDecisions {
 public:
  QtDecisions();
  ~QtDecisions();
  QtDecisions(const QtDecisions&) = delete;
  QtDecisions& operator=(const QtDecisions&) = delete;
};

}  // namespace vexa32::pages
