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

#include "platform/opcua/decisions.h"

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

// The dialogs as the client's decision service, for the life of this object; on a thread other
// than the GUI's they are not shown and the answer is "refuse".
class QtDecisions {
 public:
  QtDecisions();
  ~QtDecisions();
  QtDecisions(const QtDecisions&) = delete;
  QtDecisions& operator=(const QtDecisions&) = delete;
};

}  // namespace vexa32::pages
