// The server list and the tag browser on a real OPC UA server (node-opcua), unchanged.

#include <QListWidget>

#include "pages/svr_dialog.h"
#include "pages/tag_dialog.h"
#include "pages_fixture.h"
#include "platform/opcua/da/ua_server.h"
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
  const QString simulation =
      tags.tvBranchView->key_of(root) + QChar(pages::TagDialog::kSeparator) + "Simulation";
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

}  // namespace
}  // namespace vexa32::testing
