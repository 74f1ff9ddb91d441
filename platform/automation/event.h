#pragma once
// Events: sinks connect with a cookie and are called synchronously, in connection order. A sink
// may connect or disconnect sinks, or drop the object that raises, from inside its call: the raise
// works on its own snapshot, skips sinks disconnected meanwhile and never touches the source again.
// A sink that fails does not stop the raise: as an automation event source ignores what a sink
// returns, the failure goes to the sink-failure hook and the next sink is called.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/typeinfo.h"
#include "platform/automation/variant.h"

namespace vexa32 {

using Cookie = std::uint32_t;

// Where the failures of event sinks go. A host sets the hook to hear of them (the headless hosts
// print them); without one they are dropped. The hook runs on the thread that raised, and a
// failure of the hook itself is dropped.
using SinkFailureHook = std::function<void(std::exception_ptr failure)>;
void set_sink_failure_hook(SinkFailureHook hook);
void report_sink_failure(std::exception_ptr failure) noexcept;
// A failure's text for a report: the automation error's number and text, or what it says.
std::string describe_failure(std::exception_ptr failure);

template <class... Args>
class Event {
 public:
  using Handler = std::function<void(Args...)>;

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() {
    for (auto& s : sinks_) s->connected = false;
  }

  Cookie connect(Handler handler) {
    auto sink = std::make_shared<Sink>();
    sink->cookie = next_cookie_++;
    sink->handler = std::move(handler);
    sinks_.push_back(sink);
    return sink->cookie;
  }

  // False when no sink holds that cookie.
  bool disconnect(Cookie cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if ((*it)->cookie == cookie) {
        (*it)->connected = false;
        sinks_.erase(it);
        return true;
      }
    }
    return false;
  }

  void disconnect_all() {
    for (auto& s : sinks_) s->connected = false;
    sinks_.clear();
  }

  std::size_t sink_count() const noexcept { return sinks_.size(); }

  void raise(Args... args) const {
    if (sinks_.empty()) return;
    if (sinks_.size() == 1) {
      // The common case: one sink, no snapshot vector to build.
      std::shared_ptr<Sink> only = sinks_.front();
      call(*only, args...);
      return;
    }
    std::vector<std::shared_ptr<Sink>> snapshot = sinks_;
    for (const auto& s : snapshot) {
      if (s->connected) call(*s, args...);
    }
  }

 private:
  struct Sink {
    Cookie cookie = 0;
    bool connected = true;
    Handler handler;
  };

  static void call(const Sink& sink, Args... args) {
    try {
      sink.handler(args...);
    } catch (...) {
      // Whatever a host's handler throws is the host's: contained here, so the other sinks run
      // and the server or loop that raised goes on.
      report_sink_failure(std::current_exception());
    }
  }

  std::vector<std::shared_ptr<Sink>> sinks_;
  Cookie next_cookie_ = 1;
};

// The source interface of an automation class: its events are members of a TypeInfo, raised by
// name with automation arguments; a sink receives every event of the interface with its DISPID.
class EventSource {
 public:
  using Sink = std::function<void(DISPID event, const std::vector<Variant>& args)>;

  explicit EventSource(const TypeInfo& source_interface) : interface_(source_interface) {}

  const TypeInfo& source_interface() const noexcept { return interface_; }
  Cookie advise(Sink sink) { return event_.connect(std::move(sink)); }
  bool unadvise(Cookie cookie) { return event_.disconnect(cookie); }
  std::size_t sink_count() const noexcept { return event_.sink_count(); }

  // Raises the named event; the name must be a member of the source interface.
  void fire(std::string_view name, const std::vector<Variant>& args = {}) const {
    event_.raise(interface_.dispid_of(name), args);
  }
  // By DISPID, for the hot paths that know it.
  void fire(DISPID event, const std::vector<Variant>& args = {}) const { event_.raise(event, args); }

 private:
  const TypeInfo& interface_;
  Event<DISPID, const std::vector<Variant>&> event_;
};

}  // namespace vexa32
