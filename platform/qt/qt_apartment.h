#pragma once
// The apartment run from Qt's event loop. Posted tasks and due timers run from the loop, woken by
// a post (from any thread) and by a single-shot timer set to the next due apartment timer: no
// polling, so an idle window costs nothing. They keep running inside a modal exec(), whose nested
// loop dispatches the same wake-ups, so data changes still arrive while a dialog is open.

#include <QObject>
#include <QTimer>
#include <memory>

#include "platform/apartment/apartment.h"

namespace vexa32::qt {

class QtApartment final : public QObject {
 public:
  // Drives the given apartment (which must outlive this object) from the Qt loop of this thread.
  explicit QtApartment(Apartment& apartment);
  ~QtApartment() override;
  QtApartment(const QtApartment&) = delete;
  QtApartment& operator=(const QtApartment&) = delete;

  // Runs what is ready now and sets the timer for what is due next.
  void service();
  // Whether a wake-up is set for an apartment timer (none while the apartment has no timer).
  bool waiting_for_timer() const { return timer_.isActive(); }

 private:
  struct Wake;
  void reschedule();

  Apartment& apartment_;
  QTimer timer_;
  std::shared_ptr<Wake> wake_;
};

}  // namespace vexa32::qt
