#pragma once
// A designer's view of one control: the apartment on Qt's loop, a fresh simulation server,
// recording services, and a way to answer the modal dialog the next exec() opens.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <functional>

#include "control/vexa.h"
#include "platform/container/services.h"
#include "platform/opcda/simulation.h"
#include "platform/qt/qt_apartment.h"

namespace vexa32::testing {

class PagesTest : public ::testing::Test {
 protected:
  PagesTest() {
    control.SetClientSite(&site);
    control.InitProperties();
    control.put_svrname(opcda::kSimulationProgId);
    site.changes.clear();
  }

  // Runs f on the modal widget that the next exec() shows, from inside that exec's loop.
  static void answer_modal(std::function<void(QWidget*)> f) {
    QTimer::singleShot(0, [f = std::move(f)] {
      QWidget* modal = QApplication::activeModalWidget();
      ASSERT_NE(modal, nullptr) << "no modal window to answer";
      f(modal);
    });
  }

  template <class W>
  static W* child(QWidget* parent, const char* name) {
    W* w = parent->findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  // Runs Qt's loop, and so the apartment, for a while.
  static void pump_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }

  // Where the pictures of the windows go: the build folder; on a scaled screen (QT_SCALE_FACTOR)
  // with the DPI in the name.
  static QString picture_path(const QString& name) {
    const qreal ratio = qApp->devicePixelRatio();
    const QString dpi = ratio > 1 ? QString("_%1dpi").arg(qRound(96 * ratio)) : QString();
    return QDir::currentPath() + "/" + name + dpi + ".png";
  }

  Apartment apartment;
  qt::QtApartment driver{apartment};
  std::shared_ptr<RecordingMessageBox> box = std::make_shared<RecordingMessageBox>();
  ScopedServices services{box};
  opcda::ScopedSimulation sim{opcda::kSimulationProgId};
  opcda::ScopedSimulation flat{opcda::kFlatSimulationProgId, {opcda::OPCFlat, true}};
  opcda::ScopedSimulation no_browse{opcda::kNoBrowseSimulationProgId, {opcda::OPCHierarchical, false}};
  RecordingSite site{false};
  vexa control;
};

}  // namespace vexa32::testing
