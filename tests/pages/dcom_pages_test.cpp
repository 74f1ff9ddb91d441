// The server list, the tag browser and the login window for a server on a node, over DCOM: the
// DCOM test server stands in for a Windows machine.

#include <QApplication>
#include <QTimer>

#include "pages/svr_dialog.h"
#include "pages/tag_dialog.h"
#include "pages/ua/ua_dialogs.h"
#include "pages_fixture.h"
#include "platform/dcom/da/dcom_server.h"
#include "platform/dcom/test_server.h"
#include "platform/opcda/registry.h"

namespace vexa32::testing {
namespace {

class DcomPages : public PagesTest {
 protected:
  void SetUp() override {
    if (!server.activation()) GTEST_SKIP() << server.why();
    node = "127.0.0.1:" + std::to_string(server.activation());
    dcom::da::DcomModuleOptions options;
    options.password_file = passwords.path();
    dcom::da::install_dcom(opcda::ServerRegistry::instance(), options);
  }
  void TearDown() override { dcom::da::uninstall_dcom(opcda::ServerRegistry::instance()); }

  dcom::TestServer server{""};
  dcom::PasswordFile passwords{"127.0.0.1:*:VEXATEST\\\\tester:Vexa-Test-1\n"};
  std::string node;
};

TEST_F(DcomPages, TheServerListAndTheTagBrowserWalkANodesServer) {
  pages::SvrDialog servers;
  servers.m_nodname = Variant(node);
  servers.Form_Load();
  EXPECT_FALSE(servers.OPCServerList->findItems("Vexa.DcomTest.1", Qt::MatchExactly).isEmpty());
  servers.show();
  EXPECT_TRUE(servers.grab().save(picture_path("svr_dialog_dcom")));
  servers.close();

  pages::TagDialog tags;
  tags.m_svrname = "Vexa.DcomTest.1";
  tags.m_nodname = Variant(node);
  tags.StrtAddItm();
  tags.Prepare();
  QTreeWidgetItem* root = tags.tvBranchView->topLevelItem(0);
  ASSERT_NE(root, nullptr);
  root->setExpanded(true);
  const QString plc = tags.tvBranchView->key_of(root) + QChar(pages::TagDialog::kSeparator) + "SimulatePLC";
  ASSERT_NE(tags.tvBranchView->node(plc), nullptr);
  tags.tvBranchView->select(plc);
  tags.tvBranchView_Click();
  std::vector<QString> rows;
  for (int i = 0; i < tags.lvItemView->row_count(); ++i) rows.push_back(tags.lvItemView->row(i));
  EXPECT_NE(std::find(rows.begin(), rows.end(), "Setpoint"), rows.end());
  tags.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(tags.grab().save(picture_path("tag_dialog_dcom")));
  tags.unld();
}

TEST_F(DcomPages, ANodesWindowsUserIsAskedInTheLoginWindowAndRemembered) {
  const dcom::PasswordFile empty("");
  dcom::da::DcomModuleOptions options;
  options.password_file = empty.path();
  dcom::da::install_dcom(opcda::ServerRegistry::instance(), options);
  pages::QtDecisions decisions;
  bool asked = false;
  answer_modal([&](QWidget* w) {
    auto& d = dynamic_cast<pages::LoginDialog&>(*w);
    asked = true;
    EXPECT_EQ(d.windowTitle(), "Windows user on 127.0.0.1");
    EXPECT_TRUE(d.lblServer->text().contains("Windows user")) << d.lblServer->text().toStdString();
    d.txtUser->setText("VEXATEST\\tester");
    d.txtPassword->setText("Vexa-Test-1");
    d.chkRemember->setChecked(true);
    EXPECT_TRUE(d.grab().save(picture_path("dcom_login")));
    d.cmdOK->click();
  });
  control.put_svrname("Vexa.DcomTest.1");
  control.put_nodname(node);
  control.put_itm(0, "SimulatePLC.Counter");
  control.cnnec();
  EXPECT_TRUE(asked);
  EXPECT_TRUE(control.IsConnect) << control.last_connect_failure();
  control.discnn();
  EXPECT_NE(empty.text().find(node + ":VEXATEST\\\\tester:Vexa-Test-1"), std::string::npos) << empty.text();
}

}  // namespace
}  // namespace vexa32::testing
