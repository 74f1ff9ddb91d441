// The Qt side of the stand-ins: the apartment on Qt's loop, the services, the keyed views.

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <thread>

#include "pages_fixture.h"
#include "platform/qt/keyed_views.h"
#include "platform/qt/qt_services.h"

namespace vexa32::testing {
namespace {

class QtPlatform : public PagesTest {};

TEST_F(QtPlatform, TheApartmentRunsInsideAModalDialogAndSleepsWhenIdle) {
  bool posted = false;
  std::thread([&] { apartment.post([&] { posted = true; }); }).join();
  control.SetItmName(0, "SimulatePLC.Sine");
  control.put_UpdateRate(Variant(20));
  int changes = 0;
  control.events().advise([&](DISPID, const std::vector<Variant>&) { ++changes; });
  control.cnnec();
  QDialog dialog;
  QTimer::singleShot(300, &dialog, [&] { dialog.accept(); });
  dialog.exec();
  EXPECT_TRUE(posted);
  EXPECT_GE(changes, 3);  // data changes kept arriving while the dialog was modal
  EXPECT_TRUE(driver.waiting_for_timer());
  control.discnn();
  QCoreApplication::processEvents();
  driver.service();
  EXPECT_FALSE(driver.waiting_for_timer());  // no apartment timer: no wake-up set
}

TEST(QtFileDialogFilters, BecomeQtNameFilters) {
  EXPECT_EQ(qt::name_filters("All Files|*.*|Data File|*.csv"), (QStringList{"All Files (*)", "Data File (*.csv)"}));
  EXPECT_EQ(qt::name_filters("Text|*.txt;*.csv"), QStringList{"Text (*.txt *.csv)"});
  EXPECT_EQ(qt::name_filters(""), QStringList{});
  EXPECT_EQ(qt::name_filters("Odd|"), QStringList{"Odd ()"});
}

TEST_F(QtPlatform, TheFileDialogRefusesWhatItsFlagsForbid) {
  QTemporaryDir dir;
  const QString writable = dir.filePath("tags.csv"), read_only = dir.filePath("locked.csv");
  for (const QString& path : {writable, read_only}) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QFile::setPermissions(read_only, QFileDevice::ReadOwner);
  FileDialogOptions options;
  options.title = "Open CSV";
  options.filter = "All Files|*.*|Data File|*.csv";
  options.filter_index = 2;
  options.flags = qt::QtFileDialog::kFileMustExist | qt::QtFileDialog::kHideReadOnly | qt::QtFileDialog::kNoReadOnlyReturn;
  qt::OpenFileDialog dialog(options, nullptr);
  EXPECT_EQ(dialog.refusal(writable), "");
  EXPECT_NE(dialog.refusal(read_only), "");
  EXPECT_NE(dialog.refusal(dir.filePath("missing.csv")), "");
  EXPECT_EQ(dialog.selectedNameFilter(), "Data File (*.csv)");
  EXPECT_EQ(dialog.windowTitle(), "Open CSV");

  // The real exec path: the chosen file comes back.
  options.initial_file = writable.toStdString();
  answer_modal([](QWidget* w) { dynamic_cast<qt::OpenFileDialog&>(*w).accept(); });
  EXPECT_EQ(qt::QtFileDialog().open_file(options), std::optional<std::string>(writable.toStdString()));
  answer_modal([](QWidget* w) { dynamic_cast<QFileDialog&>(*w).reject(); });
  EXPECT_EQ(qt::QtFileDialog().open_file(options), std::nullopt);
}

TEST(KeyedTree, NodesByKeyWithTheirSubtrees) {
  qt::KeyedTree tree;
  tree.add({}, "r", "Root");
  tree.add("r", "r/a", "a");
  tree.add("r/a", "r/a/x", "x");
  tree.add("r", "r/b", "b");
  try {
    tree.add("r", "r/a", "again");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 35602);
  }
  EXPECT_THROW(tree.add("nowhere", "n", "n"), AutomationError);
  EXPECT_EQ(tree.children("r"), 2);
  EXPECT_EQ(tree.child_key("r", 1), "r/b");
  tree.remove("r/a");
  EXPECT_EQ(tree.node("r/a/x"), nullptr);
  EXPECT_EQ(tree.node_count(), 2);
  tree.add("r", "r/a", "a");  // a removed key can come back
  tree.select("r/b");
  EXPECT_EQ(tree.selected_key(), "r/b");
}

}  // namespace
}  // namespace vexa32::testing
