// The server list and the tag browser on a real OPC UA server (node-opcua), unchanged.

#include <sys/stat.h>

#include <QFileDialog>
#include <QListWidget>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "pages/svr_dialog.h"
#include "pages/tag_dialog.h"
#include "pages/ua/certificates_window.h"
#include "pages/ua/ua_dialogs.h"
#include "pages_fixture.h"
#include "platform/container/password_file.h"
#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/pki/pki.h"
#include "platform/opcua/ua_fixture.h"

namespace vexa32::testing {
namespace {

class UaPages : public PagesTest {
 protected:
  void TearDown() override { opcua::uninstall_opcua(opcda::ServerRegistry::instance()); }
};

TEST_F(UaPages, TheServerListAndTheTagBrowserWalkARealServer) {
  VEXA32_REQUIRE_UA_SERVER(url);
  opcua::UaModuleOptions options;
  options.discovery_ports = {port_of(url)};
  opcua::install_opcua(opcda::ServerRegistry::instance(), options);

  pages::SvrDialog servers;
  servers.m_svrname = url;
  servers.Form_Load();
  EXPECT_FALSE(servers.OPCServerList->findItems(QString::fromStdString(url), Qt::MatchExactly).isEmpty());
  servers.close();

  pages::TagDialog tags;
  tags.m_svrname = url;
  tags.m_nodname = Variant("");
  tags.StrtAddItm();
  tags.Prepare();
  QTreeWidgetItem* root = tags.tvBranchView->topLevelItem(0);
  ASSERT_NE(root, nullptr);
  root->setExpanded(true);
  const QString simulation = tags.tvBranchView->key_of(root) + QChar(pages::TagDialog::kSeparator) + "Simulation";
  ASSERT_NE(tags.tvBranchView->node(simulation), nullptr);
  tags.tvBranchView->select(simulation);
  tags.tvBranchView_Click();
  ASSERT_EQ(tags.lvItemView->row_count(), 2);
  EXPECT_EQ(tags.lvItemView->row(0), "Sine");
  tags.lvItemView->select_row(0);
  tags.lvItemView_Click();
  tags.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(tags.grab().save(picture_path("tag_dialog_ua")));
  tags.unld();
}

// Answers the modal windows as they come, one step each, from inside their own exec.
class ModalScript {
 public:
  explicit ModalScript(std::vector<std::function<void(QWidget*)>> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->property("answered").toBool() || steps_.empty()) return;
      modal->setProperty("answered", true);
      auto step = std::move(steps_.front());
      steps_.erase(steps_.begin());
      step(modal);
    });
    timer_.start(10);
  }
  std::size_t left() const { return steps_.size(); }

 private:
  std::vector<std::function<void(QWidget*)>> steps_;
  QTimer timer_;
};

TEST_F(UaPages, AnUntrustedServerAndALoginAreAskedInWindows) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  const std::string dir = std::filesystem::temp_directory_path() / ("vexa32-ua-dialogs-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  opcua::UaModuleOptions options;
  options.pki_folder = dir + "/pki";
  options.password_file = dir + "/uapass";
  opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  pages::QtDecisions decisions;
  std::vector<QString> refusals;
  ModalScript script({
      [&](QWidget* w) {
        auto& d = dynamic_cast<pages::UntrustedServerDialog&>(*w);
        EXPECT_TRUE(d.lblProblem->text().contains("not trusted")) << d.lblProblem->text().toStdString();
        EXPECT_TRUE(d.lblProblem->toolTip().contains("rejected/certs"));
        EXPECT_TRUE(d.lblDetails->text().contains("SHA-1 thumbprint:"));
        EXPECT_TRUE(d.cmdTrust->isVisible() && d.cmdSession->isVisible());
        EXPECT_TRUE(d.grab().save(picture_path("ua_untrusted_server")));
        d.cmdTrust->click();
      },
      [&](QWidget* w) {
        auto& d = dynamic_cast<pages::LoginDialog&>(*w);
        EXPECT_EQ(d.txtUser->text(), "operator");
        d.txtPassword->setText("wrong");
        d.cmdOK->click();
      },
      [&](QWidget* w) {
        auto& d = dynamic_cast<pages::LoginDialog&>(*w);
        refusals.push_back(d.lblRefusal->text());
        d.txtPassword->setText("secret-42");
        d.chkRemember->setChecked(true);
        EXPECT_TRUE(d.grab().save(picture_path("ua_login")));
        d.cmdOK->click();
      },
  });
  control.put_svrname(url.substr(0, 10) + "operator@" + url.substr(10) + "?security=SignAndEncrypt");
  control.put_itm(0, "ns=1;s=Simulation.Counter");
  control.cnnec();
  EXPECT_TRUE(control.IsConnect) << control.last_connect_failure();
  EXPECT_EQ(script.left(), 0u);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_TRUE(refusals[0].contains("BadUserAccessDenied")) << refusals[0].toStdString();
  control.discnn();
  // Trusted on disk, the password remembered for its owner only: the next connection asks nothing.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(options.pki_folder + "/trusted/certs"), {}), 1);
  struct stat st {};
  ASSERT_EQ(::stat(options.password_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  control.cnnec();
  EXPECT_TRUE(control.IsConnect);
  control.discnn();
  std::filesystem::remove_all(dir);
}

TEST_F(UaPages, ACertificateThatCannotBeTrustedIsOnlyExplained) {
  opcua::crypto::CertificateRequest r;
  r.common_name = "plc";
  r.application_uri = "urn:plc";
  opcua::UntrustedServer server;
  server.url = "opc.tcp://plc:4840";
  server.certificate = opcua::crypto::make_certificate(r).certificate;
  struct Case {
    opcua::StatusCode problem;
    bool can_trust;
    const char* headline;
  };
  for (const Case& c : {Case{opcua::status::BadCertificateUntrusted, true, "not trusted yet"},
                        Case{opcua::status::BadCertificateTimeInvalid, false, "expired on"}}) {
    server.problem = c.problem;
    server.can_trust = c.can_trust;
    server.message = "the server's certificate expired on 2020-01-01";
    pages::UntrustedServerDialog d(server);
    d.show();
    EXPECT_EQ(d.cmdTrust->isVisible(), c.can_trust);
    EXPECT_EQ(d.cmdSession->isVisible(), c.can_trust);
    EXPECT_EQ(d.findChild<QLabel*>("lblCannotTrust") != nullptr, !c.can_trust);
    EXPECT_TRUE(d.lblProblem->text().contains(c.headline)) << d.lblProblem->text().toStdString();
    d.cmdRefuse->click();
    EXPECT_EQ(d.answer(), opcua::TrustAnswer::Refuse);
  }
}

TEST_F(UaPages, TheTagBrowserAsksAboutAnUntrustedServerOnceItIsTrusted) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  const std::string dir = std::filesystem::temp_directory_path() / ("vexa32-ua-browse-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  opcua::UaModuleOptions options;
  options.pki_folder = dir + "/pki";
  options.password_file = dir + "/uapass";
  const std::string user_url = url.substr(0, 10) + "operator@" + url.substr(10);
  const auto address = opcua::parse_server_address(user_url);
  remember_password(options.password_file, address.host, address.port, "operator", "secret-42");
  opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  pages::QtDecisions decisions;
  // Each walk: the answer to the question (nothing: it must not be asked), and whether the tree fills.
  struct Walk {
    const char* button;
    bool fills;
  };
  for (const Walk& walk : {Walk{"cmdRefuse", false}, Walk{"cmdTrust", true}, Walk{nullptr, true}}) {
    SCOPED_TRACE(walk.button ? walk.button : "asks nothing");
    bool asked = false;
    ModalScript script({[&](QWidget* w) {
      asked = true;
      auto* d = dynamic_cast<pages::UntrustedServerDialog*>(w);
      ASSERT_NE(d, nullptr) << w->objectName().toStdString();
      EXPECT_TRUE(d->lblProblem->text().contains("not trusted")) << d->lblProblem->text().toStdString();
      if (!walk.button) return d->reject();
      d->findChild<QPushButton*>(walk.button)->click();
    }});
    pages::TagDialog tags;
    tags.m_svrname = user_url;
    tags.m_nodname = Variant("");
    tags.StrtAddItm();
    tags.Prepare();
    EXPECT_EQ(asked, walk.button != nullptr);
    QTreeWidgetItem* root = tags.tvBranchView->topLevelItem(0);
    ASSERT_EQ(root != nullptr, walk.fills);
    if (root) {
      root->setExpanded(true);
      EXPECT_NE(
          tags.tvBranchView->node(tags.tvBranchView->key_of(root) + QChar(pages::TagDialog::kSeparator) + "Simulation"),
          nullptr);
    }
    tags.unld();
  }
  std::filesystem::remove_all(dir);
}

TEST_F(UaPages, TheServerListShowsAUaServersEndpointsAndThePickBecomesTheAddress) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  const std::string user_url = url.substr(0, 10) + "operator@" + url.substr(10);
  {
    pages::QtDecisions windows;
    pages::SvrDialog servers;
    servers.m_svrname = opcda::kSimulationProgId;
    servers.Form_Load();
    EXPECT_TRUE(servers.cmdEndpoints->isVisibleTo(&servers));
    EXPECT_FALSE(servers.cmdEndpoints->isEnabled()) << "a DA ProgID has no endpoints";
    servers.SelectedOPCServer->setText(QString::fromStdString(user_url + "?security=None"));
    ASSERT_TRUE(servers.cmdEndpoints->isEnabled());
    servers.show();
    EXPECT_TRUE(servers.grab().save(picture_path("svr_dialog_ua")));
    answer_modal([&](QWidget* w) {
      auto& d = dynamic_cast<pages::EndpointDialog&>(*w);
      EXPECT_EQ(d.lvEndpoints->topLevelItemCount(), 6) << d.lblServer->text().toStdString();
      for (int i = 1; i < d.lvEndpoints->topLevelItemCount(); ++i) {
        EXPECT_GE(d.lvEndpoints->topLevelItem(i - 1)->text(3).toInt(), d.lvEndpoints->topLevelItem(i)->text(3).toInt());
        EXPECT_TRUE(d.lvEndpoints->topLevelItem(i)->text(2).contains("user name"));
      }
      // The address asks for None, which this server does not offer: nothing is chosen for the person.
      EXPECT_EQ(d.lvEndpoints->currentItem(), nullptr);
      EXPECT_FALSE(d.cmdOK->isEnabled());
      const auto rows = d.lvEndpoints->findItems("Aes128_Sha256_RsaOaep", Qt::MatchExactly, 1);
      const auto sign = std::find_if(rows.begin(), rows.end(), [](auto* r) { return r->text(0) == "Sign"; });
      if (sign == rows.end()) return d.reject();  // the failure shows below
      d.lvEndpoints->setCurrentItem(*sign);
      d.show();
      EXPECT_TRUE(d.grab().save(picture_path("ua_endpoints")));
      d.cmdOK->click();
    });
    servers.cmdEndpoints->click();
    EXPECT_EQ(servers.SelectedOPCServer->text().toStdString(),
              user_url + "?security=Sign&policy=Aes128_Sha256_RsaOaep");
    servers.OKButton_Click();
    EXPECT_EQ(servers.m_svrname, user_url + "?security=Sign&policy=Aes128_Sha256_RsaOaep");

    // An address without a query selects what it would connect to, the highest level; a server
    // that does not answer, nothing.
    pages::EndpointDialog bare(user_url);
    ASSERT_NE(bare.lvEndpoints->currentItem(), nullptr);
    EXPECT_EQ(bare.lvEndpoints->indexOfTopLevelItem(bare.lvEndpoints->currentItem()), 0);
    pages::EndpointDialog nobody("opc.tcp://127.0.0.1:1");
    EXPECT_EQ(nobody.lvEndpoints->topLevelItemCount(), 0);
    EXPECT_TRUE(nobody.lblServer->text().contains("could not be asked")) << nobody.lblServer->text().toStdString();
    EXPECT_FALSE(nobody.cmdOK->isEnabled());
  }
  pages::SvrDialog plain;  // without the UA windows, the list of ProgIDs as it was
  EXPECT_FALSE(plain.cmdEndpoints->isVisibleTo(&plain));
}

TEST_F(UaPages, TheCertificatesWindowListsTrustsRemovesAndExports) {
  const std::string dir =
      std::filesystem::temp_directory_path() / ("vexa32-certificates-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  opcua::Pki pki(dir);
  const auto made = [](const char* name) {
    opcua::crypto::CertificateRequest r;
    r.common_name = name;
    r.application_uri = std::string("urn:") + name;
    return opcua::crypto::make_certificate(r).certificate;
  };
  const auto plc = made("plc"), scada = made("scada"), stranger = made("stranger");
  pki.trust(plc);
  const auto reject = [&](const opcua::crypto::Certificate& c) {
    std::ofstream(dir + "/rejected/certs/" + opcua::Pki::file_name(c), std::ios::binary) << c.der();
  };
  reject(scada);
  reject(stranger);
  const auto on_disk = [&](const char* sub) {
    return std::distance(std::filesystem::directory_iterator(dir + "/" + sub), {});
  };
  pages::CertificatesWindow window(dir);
  const std::string own = pki.own().certificate.thumbprint_hex();
  EXPECT_TRUE(window.lblOwn->text().contains(QString::fromStdString(own)));
  ASSERT_EQ(window.lvTrusted->topLevelItemCount(), 1);
  ASSERT_EQ(window.lvRejected->topLevelItemCount(), 2);
  window.show();
  EXPECT_TRUE(window.grab().save(picture_path("certificates")));
  // Trust the first rejected one, delete the other, remove the first trusted one: each on disk.
  window.cmdTrust->click();
  EXPECT_EQ(on_disk("trusted/certs"), 2);
  EXPECT_EQ(window.lvRejected->topLevelItemCount(), 1);
  window.cmdDelete->click();
  EXPECT_EQ(on_disk("rejected/certs"), 0);
  window.cmdRemove->click();
  EXPECT_EQ(on_disk("trusted/certs"), 1);
  EXPECT_EQ(window.lvTrusted->topLevelItemCount(), 1);
  // Export through its save dialog, then a new certificate of our own.
  const std::string exported = dir + "/ours.der";
  answer_modal([&](QWidget* w) {
    auto& dialog = dynamic_cast<QFileDialog&>(*w);
    dialog.selectFile(QString::fromStdString(exported));
    static_cast<QDialog&>(dialog).accept();  // QFileDialog::accept, through the public slot
  });
  window.cmdExport->click();
  std::ifstream in(exported, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), pki.own().certificate.der());
  window.cmdRenew->click();
  EXPECT_NE(pki.own().certificate.thumbprint_hex(), own);
  EXPECT_TRUE(window.lblOwn->text().contains(QString::fromStdString(pki.own().certificate.thumbprint_hex())));
  window.close();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa32::testing
