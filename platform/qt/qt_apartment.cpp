#include "platform/qt/qt_apartment.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <mutex>

namespace vexa32::qt {

// What a wake-up from another thread reaches: the driver while it lives, nothing after. One
// queued service call at a time is enough, however many posts came.
struct QtApartment::Wake {
  std::mutex mutex;
  QtApartment* target = nullptr;
  std::atomic<bool> queued{false};

  void operator()() {
    if (queued.exchange(true)) return;
    std::lock_guard lock(mutex);
    if (!target) return;
    QtApartment* t = target;
    QMetaObject::invokeMethod(t, [t] { t->service(); }, Qt::QueuedConnection);
  }
};

QtApartment::QtApartment(Apartment& apartment) : apartment_(apartment), wake_(std::make_shared<Wake>()) {
  wake_->target = this;
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { service(); });
  apartment_.set_wake_handler([wake = wake_] { (*wake)(); });
  // Whatever was queued before the driver came runs at the loop's first turn.
  (*wake_)();
}

QtApartment::~QtApartment() {
  apartment_.set_wake_handler(nullptr);
  std::lock_guard lock(wake_->mutex);
  wake_->target = nullptr;
}

void QtApartment::service() {
  wake_->queued = false;
  apartment_.run_until_idle();
  reschedule();
}

void QtApartment::reschedule() {
  Clock::time_point due;
  if (!apartment_.next_due(due)) {
    timer_.stop();
    return;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - apartment_.clock().now());
  timer_.start(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 24 * 3600 * 1000)));
}

}  // namespace vexa32::qt
