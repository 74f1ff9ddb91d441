#pragma once
// Automation objects from Python: every member reached by name through Invoke, as pages and
// scripts do, with names matched without regard to case; the control adds its events and a loop
// that yields the slots each datChange changed.

#include <pybind11/pybind11.h>

#include <chrono>
#include <deque>
#include <memory>

#include "control/vexa.h"
#include "platform/container/site.h"

namespace vexa32::python {

namespace py = pybind11;

// Any automation object: attributes are its properties, methods are callables.
struct Object {
  explicit Object(std::shared_ptr<Dispatch> d) : dispatch(std::move(d)) {}
  virtual ~Object() = default;
  std::shared_ptr<Dispatch> dispatch;
};

// One datChange's changed slots, waiting for a changes() iterator.
using ChangeQueue = std::deque<py::list>;

struct Control : Object {
  Control();
  ~Control() override;

  // The state of a slot as the iterator compares it.
  struct SlotState {
    Variant value, quality;
    DATE stamp = 0;
  };

  void on_event(DISPID id, const std::vector<Variant>& args);

  RecordingSite site{true};
  std::shared_ptr<vexa> control;
  Cookie cookie = 0;
  std::vector<std::pair<DISPID, py::object>> handlers;
  std::vector<std::weak_ptr<ChangeQueue>> queues;
  std::vector<SlotState> last;  // what the iterators last saw
  long data_changes = 0;
};

py::object wrap_object(std::shared_ptr<Dispatch> object);
// nullptr when the Python value is no automation object.
std::shared_ptr<Dispatch> unwrap_object(py::handle value);

// Called once at import.
void bind_objects(py::module_& m);

// The loop, shared by pump, wait_for and the iterators: runs the apartment for at most the given
// time, then raises what a Python handler raised meanwhile, or KeyboardInterrupt after Ctrl-C.
void run_slice(std::chrono::milliseconds most);
// A Python handler failed inside the loop: kept, and raised by the loop when it comes back.
void keep_failure(py::error_already_set& e);

}  // namespace vexa32::python
