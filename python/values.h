#pragma once
// Automation values to Python and back. VT_EMPTY is None, VT_NULL the singleton vexa32.Null,
// numbers int or float, VT_BOOL bool, VT_BSTR str, VT_DATE a datetime in UTC, arrays lists and
// objects vexa32.Object. Python values passed in take the type a script host would give them.

#include <pybind11/pybind11.h>

#include "platform/automation/variant.h"

namespace vexa32::python {

namespace py = pybind11;

// Called once at import: the Null singleton and the datetime types the conversions use.
void init_values(py::module_& m);

py::object to_python(const Variant& value);
// TypeError for a Python value that has no automation form.
Variant from_python(py::handle value);

}  // namespace vexa32::python
