#include "pages/ua/ua_dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPointer>
#include <QThread>
#include <QVBoxLayout>

#include "pages/svr_dialog.h"
#include "pages/twips_p.h"
#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/endpoint_choice.h"
#include "platform/opcua/pki/pki.h"
#include "platform/opcua/transport.h"
#include "platform/qt/design_metrics.h"

namespace vexa32::pages {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// What is wrong, in a line; the store's whole message where it says more than a headline could.
QString headline(const opcua::UntrustedServer& server) {
  switch (server.problem & 0xFFFF0000u) {
    case opcua::status::BadCertificateUntrusted: return "This server's certificate is not trusted yet.";
    case opcua::status::BadCertificateHostNameInvalid:
      return "This server's certificate was issued by a trusted authority for another host.";
    default: return q(server.message);
  }
}

QString join(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  QStringList out;
  for (const auto& s : a) out << q(s);
  for (const auto& s : b) out << q(s);
  return out.isEmpty() ? QStringLiteral("(none)") : out.join(", ");
}

// The dialog's buttons at the right of their row.
QHBoxLayout* button_row(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (QPushButton* b : buttons) row->addWidget(b);
  return row;
}

// The window that connects: the modal one running (a tag browser, the property frame), else the
// active one. Between two questions nothing may be active (without a window manager the focus
// does not come back by itself), so the window of the last question is kept.
QWidget* connecting_window() {
  static QPointer<QWidget> last;
  if (QWidget* w = QApplication::activeModalWidget()) {
    last = w;
  } else if (QWidget* active = QApplication::activeWindow()) {
    last = active;
  }
  return last;
}

class Decisions final : public opcua::DecisionService {
 public:
  opcua::TrustAnswer untrusted_server(const opcua::UntrustedServer& server) override {
    if (!on_gui_thread()) return opcua::TrustAnswer::Refuse;
    UntrustedServerDialog dialog(server, connecting_window());
    dialog.exec();
    return dialog.answer();
  }
  std::optional<opcua::LoginAnswer> login(const opcua::LoginQuestion& question) override {
    if (!on_gui_thread()) return std::nullopt;
    LoginDialog dialog(question, connecting_window());
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.answer();
  }

 private:
  static bool on_gui_thread() { return qApp && QThread::currentThread() == qApp->thread(); }
};

}  // namespace

UntrustedServerDialog::UntrustedServerDialog(const opcua::UntrustedServer& server, QWidget* parent) : QDialog(parent) {
  setObjectName("UntrustedServer");
  setWindowTitle("Server certificate");
  setModal(true);
  qt::use_design_font(*this);
  const auto& c = server.certificate;
  lblProblem = named(new QLabel(headline(server), this), "lblProblem");
  lblProblem->setToolTip(q(server.message));
  lblProblem->setWordWrap(true);
  lblDetails = named(new QLabel(this), "lblDetails");
  lblDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblDetails->setText(QString("Server: %1\nSubject: %2\nIssuer: %3\nValid: %4 to %5\nSHA-1 thumbprint: %6\n"
                              "ApplicationUri: %7\nHost names: %8")
                          .arg(q(server.url), q(c.subject()), q(c.issuer()),
                               q(opcua::crypto::format_time(c.not_before())),
                               q(opcua::crypto::format_time(c.not_after())), q(c.thumbprint_hex()),
                               q(c.application_uri()), join(c.dns_names(), c.ip_addresses())));
  cmdTrust = named(new QPushButton("Trust", this), "cmdTrust");
  cmdSession = named(new QPushButton("Trust for this session", this), "cmdSession");
  cmdRefuse = named(new QPushButton("Refuse", this), "cmdRefuse");
  cmdTrust->setVisible(server.can_trust);
  cmdSession->setVisible(server.can_trust);
  cmdRefuse->setDefault(true);
  QHBoxLayout* buttons = button_row({cmdTrust, cmdSession, cmdRefuse});
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblProblem);
  layout->addWidget(lblDetails);
  if (!server.can_trust) {
    auto* why = named(new QLabel("This certificate cannot be trusted from here.", this), "lblCannotTrust");
    layout->addWidget(why);
  }
  layout->addLayout(buttons);
  connect(cmdTrust, &QPushButton::clicked, this, [this] {
    answer_ = opcua::TrustAnswer::Trust;
    accept();
  });
  connect(cmdSession, &QPushButton::clicked, this, [this] {
    answer_ = opcua::TrustAnswer::TrustForSession;
    accept();
  });
  connect(cmdRefuse, &QPushButton::clicked, this, [this] {
    answer_ = opcua::TrustAnswer::Refuse;
    reject();
  });
}

LoginDialog::LoginDialog(const opcua::LoginQuestion& question, QWidget* parent) : QDialog(parent) {
  setObjectName("Login");
  // A DCOM node asks for one of its Windows accounts (DOMAIN\user); a UA server for one of its users.
  setWindowTitle(question.windows_user ? QString("Windows user on %1").arg(q(question.host)) : QString("Log in"));
  setModal(true);
  qt::use_design_font(*this);
  lblServer = named(
      new QLabel(
          question.windows_user
              ? QString("The node %1 asks for a Windows user (DOMAIN\\user) and its password.").arg(q(question.url))
              : QString("%1 asks for a user name and password.").arg(q(question.url)),
          this),
      "lblServer");
  lblServer->setWordWrap(true);
  lblRefusal = named(new QLabel(q(question.refusal), this), "lblRefusal");
  lblRefusal->setWordWrap(true);
  lblRefusal->setStyleSheet("color: #a00000");
  lblRefusal->setVisible(!question.refusal.empty());
  txtUser = named(new QLineEdit(q(question.user), this), "txtUser");
  txtPassword = named(new QLineEdit(this), "txtPassword");
  txtPassword->setEchoMode(QLineEdit::Password);
  chkRemember = named(new QCheckBox("Remember", this), "chkRemember");
  cmdOK = named(new QPushButton("OK", this), "cmdOK");
  cmdCancel = named(new QPushButton("Cancel", this), "cmdCancel");
  cmdOK->setDefault(true);
  auto* form = new QFormLayout;
  form->addRow("User name:", txtUser);
  form->addRow("Password:", txtPassword);
  form->addRow("", chkRemember);
  QHBoxLayout* buttons = button_row({cmdOK, cmdCancel});
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblServer);
  layout->addWidget(lblRefusal);
  layout->addLayout(form);
  layout->addLayout(buttons);
  (question.user.empty() ? txtUser : txtPassword)->setFocus();
  connect(cmdOK, &QPushButton::clicked, this, [this] {
    if (!txtUser->text().isEmpty()) accept();
  });
  connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

opcua::LoginAnswer LoginDialog::answer() const {
  return {txtUser->text().toStdString(), txtPassword->text().toStdString(), chkRemember->isChecked()};
}

namespace {

EndpointDialog::Endpoints ask_endpoints(const std::string& address) {
  EndpointDialog::Endpoints out;
  try {
    opcua::UaModuleOptions options;
    // A person waits on it: an unreachable server is told soon.
    options.client.connect_timeout = std::chrono::milliseconds(3000);
    options.client.timeout = std::chrono::milliseconds(5000);
    out.list = opcua::server_endpoints(address, options);
  } catch (const std::exception& e) {
    out.failure = e.what();
  }
  return out;
}

}  // namespace

EndpointDialog::EndpointDialog(const std::string& address, QWidget* parent)
    : EndpointDialog(address, ask_endpoints(address), parent) {}

EndpointDialog::EndpointDialog(const std::string& address, Endpoints endpoints, QWidget* parent)
    : QDialog(parent), address_(address), endpoints_(opcua::most_secure_first(std::move(endpoints.list))) {
  setObjectName("EndpointDialog");
  setWindowTitle("Endpoints");
  setModal(true);
  qt::use_design_font(*this);
  lblServer = named(new QLabel(this), "lblServer");
  lblServer->setWordWrap(true);
  lblServer->setTextInteractionFlags(Qt::TextSelectableByMouse);
  if (!endpoints.failure.empty()) {
    lblServer->setText("The server could not be asked for its endpoints: " + q(endpoints.failure));
  } else if (endpoints_.empty()) {
    lblServer->setText(q(address) + " offers no endpoint.");
  } else {
    lblServer->setText(QString("The endpoints of %1, the most secure first:").arg(q(address)));
  }
  lvEndpoints = named(new QTreeWidget(this), "lvEndpoints");
  lvEndpoints->setHeaderLabels({"Security mode", "Security policy", "Logins", "Security level"});
  lvEndpoints->setRootIsDecorated(false);
  lvEndpoints->setAllColumnsShowFocus(true);
  cmdOK = named(new QPushButton("OK", this), "cmdOK");
  cmdCancel = named(new QPushButton("Cancel", this), "cmdCancel");
  cmdOK->setDefault(true);
  cmdOK->setEnabled(false);

  // The endpoint the address leads to now is selected, so that OK without a click keeps it.
  std::optional<opcua::EndpointDescription> current;
  try {
    current = opcua::choose_endpoint(endpoints_, opcua::parse_server_address(address));
  } catch (const std::exception&) {
    // No endpoint fits the address as it stands: nothing is selected.
  }
  for (const auto& e : endpoints_) {
    const bool usable = opcua::supported_endpoint(e);
    QString policy = q(opcua::policy_name(e.security_policy_uri));
    if (!usable) policy += " (not supported)";
    const std::string logins = opcua::describe_logins(e);
    auto* row = new QTreeWidgetItem(
        lvEndpoints, {opcua::crypto::mode_name(static_cast<opcua::crypto::SecurityMode>(e.security_mode)), policy,
                      logins.empty() ? QString("none") : q(logins), QString::number(e.security_level)});
    if (!usable) row->setFlags(row->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
    if (current && usable && !lvEndpoints->currentItem() && current->security_mode == e.security_mode &&
        current->security_policy_uri == e.security_policy_uri && current->endpoint_url == e.endpoint_url)
      lvEndpoints->setCurrentItem(row);
  }
  int columns = 0;
  for (int c = 0; c < lvEndpoints->columnCount(); ++c) {
    lvEndpoints->resizeColumnToContents(c);
    columns += lvEndpoints->columnWidth(c);
  }
  // Every column whole, without a scroll bar across.
  lvEndpoints->setMinimumWidth(columns + 2 * lvEndpoints->frameWidth() + px(120));

  QHBoxLayout* buttons = button_row({cmdOK, cmdCancel});
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblServer);
  layout->addWidget(lvEndpoints);
  layout->addLayout(buttons);
  resize(px(7200), px(3600));
  connect(lvEndpoints, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { cmdOK->setEnabled(item && (item->flags() & Qt::ItemIsSelectable)); });
  cmdOK->setEnabled(lvEndpoints->currentItem() != nullptr);
  const auto pick = [this] {
    QTreeWidgetItem* item = lvEndpoints->currentItem();
    if (!item || !(item->flags() & Qt::ItemIsSelectable)) return;
    try {
      picked_ = opcua::address_of_endpoint(
          address_, endpoints_.at(static_cast<std::size_t>(lvEndpoints->indexOfTopLevelItem(item))));
    } catch (const std::exception& e) {
      lblServer->setText(q(e.what()));
      return;
    }
    accept();
  };
  connect(cmdOK, &QPushButton::clicked, this, pick);
  connect(lvEndpoints, &QTreeWidget::itemDoubleClicked, this, pick);
  connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

QtDecisions::QtDecisions() {
  opcua::set_decision_service(std::make_shared<Decisions>());
  set_endpoint_picker([](QWidget* parent, const std::string& address) {
    EndpointDialog dialog(address, parent);
    dialog.exec();
    return dialog.picked();
  });
}
QtDecisions::~QtDecisions() {
  set_endpoint_picker(nullptr);
  opcua::set_decision_service(nullptr);
}

}  // namespace vexa32::pages
