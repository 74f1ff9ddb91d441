#include "python/objects.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/apartment/apartment.h"
#include "python/values.h"

namespace vexa32::python {
namespace {

// What a handler raised inside the loop, until the loop gives it to the script.
std::optional<py::error_already_set>& failure_slot() {
  static auto* slot = new std::optional<py::error_already_set>();
  return *slot;
}

py::object& slot_type() {
  static auto* t = new py::object();
  return *t;
}

Apartment& apartment() {
  Apartment* a = Apartment::current();
  if (!a) throw std::runtime_error("vexa32 runs on the thread that imported it");
  return *a;
}

[[noreturn]] void no_member(const Dispatch& d, const std::string& name) {
  throw member_not_found_error(d.type_info().name() + " has no member " + name);
}

py::object get_member(Object& self, const std::string& name) {
  // Python's own probes (__len__, _ipython_...) are not members of an automation object.
  if (name.size() > 1 && name[0] == '_') throw py::attribute_error(name);
  const TypeInfo& info = self.dispatch->type_info();
  auto id = info.try_dispid_of(name);
  if (!id) no_member(*self.dispatch, name);
  const MemberInfo* get = info.find(*id, InvokeKind::PropertyGet);
  if (get && get->params.empty()) return to_python(self.dispatch->Invoke(*id, InvokeKind::PropertyGet, {}));
  const MemberInfo* method = info.find(*id, InvokeKind::Method);
  if (!method && !get) no_member(*self.dispatch, name);
  // A method, or a property that takes arguments: called later, by its DISPID.
  const InvokeKind kind = method ? InvokeKind::Method : InvokeKind::PropertyGet;
  std::shared_ptr<Dispatch> target = self.dispatch;
  const DISPID dispid = *id;
  return py::cpp_function(
      [target, dispid, kind](py::args args) {
        std::vector<Variant> values;
        values.reserve(args.size());
        for (auto a : args) values.push_back(from_python(a));
        return to_python(target->Invoke(dispid, kind, values));
      },
      py::name((method ? method : get)->name.c_str()));
}

void set_member(Object& self, const std::string& name, py::handle value) {
  const TypeInfo& info = self.dispatch->type_info();
  auto id = info.try_dispid_of(name);
  if (!id || !info.find(*id, InvokeKind::PropertyPut)) no_member(*self.dispatch, name);
  Variant args[1] = {from_python(value)};
  self.dispatch->Invoke(*id, InvokeKind::PropertyPut, args);
}

// The members from the type info, in interface order, after what Python itself knows of the object.
py::list member_names(py::object self) {
  py::list out = py::module_::import("builtins").attr("object").attr("__dir__")(self);
  std::vector<std::string> seen;
  for (const auto& m : self.cast<Object&>().dispatch->type_info().members()) {
    if (m.flags & (FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN)) continue;
    if (std::find(seen.begin(), seen.end(), m.name) != seen.end()) continue;
    seen.push_back(m.name);
    out.append(m.name);
  }
  return out;
}

DISPID event_id(const std::string& name) {
  auto id = vexa::source_interface().try_dispid_of(name);
  if (!id) throw py::value_error("the control has no event " + name);
  return *id;
}

Control::SlotState state_of(const vexa& c, int slot) {
  const auto i = static_cast<std::int16_t>(slot);
  return {c.GetVl(i), c.GetQuality(i), c.GetTimeStamp(i)};
}

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(seconds, 0.0)));
}

// Iterates over the control's datChange events: each step runs the loop until the next one
// and gives the slots it changed; it ends when none comes within the timeout (an idle time),
// when the seconds since it began have passed, after count events, or when the control is not
// connected.
class Changes {
 public:
  Changes(std::shared_ptr<Control> c, std::optional<double> timeout, std::optional<double> seconds,
          std::optional<long> count)
      : control_(std::move(c)),
        timeout_(timeout),
        deadline_(seconds ? after(*seconds) : Clock::time_point::max()),
        left_(count) {
    queue_ = std::make_shared<ChangeQueue>();
    // With no other iterator waiting, changes count from now.
    std::erase_if(control_->queues, [](const auto& q) { return q.expired(); });
    if (control_->queues.empty()) {
      control_->last.clear();
      for (int i = 0; i < vexa::kSlots; ++i) control_->last.push_back(state_of(*control_->control, i));
    }
    control_->queues.push_back(queue_);
  }

  py::list next() {
    if (left_ && *left_ <= 0) throw py::stop_iteration();
    const auto end = std::min(timeout_ ? after(*timeout_) : Clock::time_point::max(), deadline_);
    while (queue_->empty()) {
      if (!control_->control->IsConnect) throw py::stop_iteration();
      const auto now = Clock::now();
      if (now >= end) throw py::stop_iteration();
      run_slice(std::min<std::chrono::milliseconds>(std::chrono::milliseconds(50),
                                                    std::chrono::ceil<std::chrono::milliseconds>(end - now)));
    }
    py::list out = queue_->front();
    queue_->pop_front();
    if (left_) --*left_;
    return out;
  }

 private:
  std::shared_ptr<Control> control_;
  std::optional<double> timeout_;
  Clock::time_point deadline_;
  std::optional<long> left_;
  std::shared_ptr<ChangeQueue> queue_;
};

}  // namespace

Control::Control() : Object(nullptr), control(std::make_shared<vexa>()) {
  control->SetClientSite(&site);
  control->InitProperties();
  dispatch = control;
  cookie = control->events().advise([this](DISPID id, const std::vector<Variant>& args) { on_event(id, args); });
}

Control::~Control() {
  control->events().unadvise(cookie);
  // A connected control disconnects as it goes, while the site it reports to is still here.
  dispatch.reset();
  control.reset();
}

void Control::on_event(DISPID id, const std::vector<Variant>& args) {
  // The loop runs without the GIL, so that the script's other threads go on meanwhile.
  py::gil_scoped_acquire gil;
  ++data_changes;
  std::erase_if(queues, [](const auto& q) { return q.expired(); });
  if (!queues.empty()) {
    // Which slots this event changed, for every iterator waiting on the control.
    py::list changed;
    for (int i = 0; i < vexa::kSlots; ++i) {
      SlotState now = state_of(*control, i);
      SlotState& before = last[static_cast<std::size_t>(i)];
      if (now.value == before.value && now.quality == before.quality && now.stamp == before.stamp) continue;
      changed.append(slot_type()(i, control->GetItmName(static_cast<std::int16_t>(i)), to_python(now.value),
                                 to_python(now.quality), to_python(Variant::date(now.stamp))));
      before = std::move(now);
    }
    for (auto& q : queues) {
      if (auto queue = q.lock()) queue->push_back(changed);
    }
  }
  // A handler may remove itself or others: call the ones registered now.
  auto current = handlers;
  for (auto& [event, handler] : current) {
    if (event != id) continue;
    try {
      py::tuple call_args(args.size());
      for (std::size_t i = 0; i < args.size(); ++i) call_args[i] = to_python(args[i]);
      handler(*call_args);
    } catch (py::error_already_set& e) {
      keep_failure(e);
    }
  }
}

void keep_failure(py::error_already_set& e) {
  auto& slot = failure_slot();
  // The first one is what the script hears of, within the loop's next slice.
  if (!slot) slot.emplace(std::move(e));
}

void run_slice(std::chrono::milliseconds most) {
  if (most.count() > 0) {
    Apartment& a = apartment();
    py::gil_scoped_release release;
    a.run_for(most);
  }
  auto& slot = failure_slot();
  if (slot) {
    py::error_already_set e = std::move(*slot);
    slot.reset();
    throw e;
  }
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

py::object wrap_object(std::shared_ptr<Dispatch> object) {
  return py::cast(std::make_shared<Object>(std::move(object)));
}

std::shared_ptr<Dispatch> unwrap_object(py::handle value) {
  if (!py::isinstance<Object>(value)) return nullptr;
  return value.cast<Object&>().dispatch;
}

void bind_objects(py::module_& m) {
  slot_type() = py::module_::import("collections")
                    .attr("namedtuple")("Slot", "index item value quality timestamp", py::arg("module") = "vexa32");
  m.attr("Slot") = slot_type();

  py::class_<Object, std::shared_ptr<Object>>(m, "Object", "An automation object; its members are reached by name.")
      .def("__getattr__", &get_member)
      .def("__setattr__", &set_member)
      .def("__dir__", &member_names)
      .def("__repr__", [](const Object& o) { return "<vexa32.Object " + o.dispatch->type_info().name() + ">"; });

  py::class_<Changes>(m, "Changes")
      .def("__iter__", [](Changes& c) -> Changes& { return c; })
      .def("__next__", &Changes::next);

  py::class_<Control, Object, std::shared_ptr<Control>>(m, "Control", "A vexa control, its properties initialised.")
      .def(py::init<>())
      .def(
          "on",
          [](Control& c, const std::string& event, py::function handler) {
            c.handlers.emplace_back(event_id(event), std::move(handler));
          },
          py::arg("event"), py::arg("handler"), "Calls handler on every event of that name (\"datChange\").")
      .def(
          "off",
          [](Control& c, const std::string& event, py::object handler) {
            const DISPID id = event_id(event);
            std::erase_if(c.handlers, [&](const auto& h) {
              return h.first == id && (handler.is_none() || h.second.equal(handler));
            });
          },
          py::arg("event"), py::arg("handler") = py::none(), "Removes a handler, or every handler of the event.")
      .def(
          "changes",
          [](std::shared_ptr<Control> c, std::optional<double> timeout, std::optional<double> seconds,
             std::optional<long> count) { return Changes(std::move(c), timeout, seconds, count); },
          py::arg("timeout") = py::none(), py::arg("seconds") = py::none(), py::arg("count") = py::none(),
          "Runs the loop and yields, after each datChange, the slots it changed (vexa32.Slot); ends when none "
          "comes within timeout seconds (an idle time), when seconds have passed since it began, after count "
          "events, or when the control is not connected.")
      .def_property_readonly(
          "data_changes", [](const Control& c) { return c.data_changes; }, "datChange events so far.")
      .def_property_readonly(
          "data_mode", [](const Control& c) { return c.control->data_mode(); },
          "How data changes arrive: 'callbacks' (pushed by the server) or 'polling' (read at the update rate, "
          "where the server cannot call back); '' when not connected.")
      .def("__repr__", [](Control& c) { return "<vexa32.Control " + c.control->get_svrname() + ">"; });
}

}  // namespace vexa32::python
