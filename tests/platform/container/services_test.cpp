#include "platform/container/services.h"

#include <gtest/gtest.h>

#include "platform/automation/errors.h"
#include "platform/container/site.h"

namespace vexa32 {
namespace {

TEST(Services, ScopedServicesInstallAndRestore) {
  MessageBoxService* before = &message_box_service();
  {
    auto box = std::make_shared<RecordingMessageBox>();
    auto dialog = std::make_shared<ScriptedFileDialog>();
    dialog->answers = {std::string("/tmp/a.csv"), std::nullopt};
    ScopedServices scope(box, dialog);
    message_box_service().show("text", "title");
    ASSERT_EQ(box->shown.size(), 1u);
    EXPECT_EQ(box->shown[0].title, "title");
    FileDialogOptions opts;
    opts.title = "Select";
    EXPECT_EQ(file_dialog_service().open_file(opts), std::optional<std::string>("/tmp/a.csv"));
    EXPECT_EQ(file_dialog_service().open_file(opts), std::nullopt);
    EXPECT_EQ(file_dialog_service().open_file(opts), std::nullopt);
    EXPECT_EQ(dialog->asked.size(), 3u);
  }
  EXPECT_EQ(&message_box_service(), before);
  EXPECT_EQ(file_dialog_service().open_file({}), std::nullopt);  // headless default cancels
}

TEST(ControlSite, RecordsChangesAndFailsOnRequestAfterRecording) {
  RecordingSite site(false);
  EXPECT_FALSE(site.UserMode());
  site.OnChanged("svrname");
  site.fail_next("itm3", 380);
  site.OnChanged("itm2");
  try {
    site.OnChanged("itm3");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 380);
  }
  site.OnChanged("itm3");
  EXPECT_EQ(site.changes, (std::vector<std::string>{"svrname", "itm2", "itm3", "itm3"}));
}

}  // namespace
}  // namespace vexa32
