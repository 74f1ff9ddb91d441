#include "platform/automation/event.h"

#include <gtest/gtest.h>

namespace vexa32 {
namespace {

TEST(Event, RaisesToSinksInConnectionOrder) {
  Event<int> ev;
  std::vector<std::string> calls;
  ev.connect([&](int v) { calls.push_back("a" + std::to_string(v)); });
  Cookie b = ev.connect([&](int v) { calls.push_back("b" + std::to_string(v)); });
  ev.connect([&](int v) { calls.push_back("c" + std::to_string(v)); });
  ev.raise(1);
  EXPECT_TRUE(ev.disconnect(b));
  EXPECT_FALSE(ev.disconnect(b));
  ev.raise(2);
  EXPECT_EQ(calls, (std::vector<std::string>{"a1", "b1", "c1", "a2", "c2"}));
}

TEST(Event, SinkMayDisconnectALaterSinkDuringTheRaise) {
  Event<> ev;
  std::vector<int> calls;
  Cookie second = 0;
  ev.connect([&] {
    calls.push_back(1);
    ev.disconnect(second);
  });
  second = ev.connect([&] { calls.push_back(2); });
  ev.raise();
  EXPECT_EQ(calls, std::vector<int>{1});
}

TEST(Event, SinkMayDestroyTheSourceDuringTheRaise) {
  auto ev = std::make_unique<Event<>>();
  int later = 0;
  ev->connect([&] { ev.reset(); });
  ev->connect([&] { ++later; });
  ev->raise();
  EXPECT_EQ(later, 0);
}

TEST(Event, SinkConnectedDuringTheRaiseWaitsForTheNextOne) {
  Event<> ev;
  int added_calls = 0;
  ev.connect([&] { ev.connect([&] { ++added_calls; }); });
  ev.connect([] {});
  ev.raise();
  EXPECT_EQ(added_calls, 0);
}

TEST(Event, AFailingSinkIsReportedAndTheNextSinksStillRun) {
  Event<int> ev;
  std::vector<std::string> reported;
  set_sink_failure_hook([&](std::exception_ptr f) { reported.push_back(describe_failure(f)); });
  int after = 0;
  ev.connect([](int) { throw std::runtime_error("sink failed"); });
  ev.connect([](int) { throw overflow_error(); });
  ev.connect([&](int) { ++after; });
  EXPECT_NO_THROW(ev.raise(1));
  set_sink_failure_hook(nullptr);
  EXPECT_NO_THROW(ev.raise(2));  // without a hook the failures are dropped
  EXPECT_EQ(after, 2);
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0], "sink failed");
  EXPECT_EQ(reported[1].rfind("run-time error 6: ", 0), 0u) << reported[1];
}

TEST(EventSource, FiresNamedEventsWithTheirDispid) {
  static const TypeInfo source = TypeInfoBuilder<Dispatch>("__source").event("changed", 7).build();
  EventSource es(source);
  std::vector<DISPID> seen;
  Cookie c = es.advise([&](DISPID id, const std::vector<Variant>& args) {
    seen.push_back(id);
    EXPECT_TRUE(args.empty());
  });
  es.fire("Changed");
  es.unadvise(c);
  es.fire("changed");
  EXPECT_EQ(seen, std::vector<DISPID>{7});
  EXPECT_THROW(es.fire("other"), AutomationError);
}

}  // namespace
}  // namespace vexa32
