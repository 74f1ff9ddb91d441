#include "python/values.h"

#include <cmath>
#include <limits>

#include "python/objects.h"

namespace vexa32::python {
namespace {

struct Types {
  py::object null;         // vexa32.Null
  py::object datetime;     // datetime.datetime
  py::object timedelta;    // datetime.timedelta
  py::object utc;          // datetime.timezone.utc
  py::object epoch;        // 30 December 1899, midnight UTC: DATE 0
  py::object microsecond;  // timedelta(microseconds=1)
};

Types& types() {
  // Lives as long as the process: Python objects must not be released after the interpreter ends.
  static Types* t = new Types();
  return *t;
}

constexpr double kMicrosecondsPerDay = 86400e6;

// A DATE's whole part counts days from the epoch; its fraction is the time of day, counted
// forward from midnight also before the epoch (-1.25 is 29 December 1899, 06:00).
py::object date_to_python(DATE date) {
  if (!std::isfinite(date)) throw py::value_error("the date is not a number");
  const double whole = std::trunc(date);
  const auto micro = static_cast<long long>(std::llround(std::fabs(date - whole) * kMicrosecondsPerDay));
  const Types& t = types();
  return t.epoch + t.timedelta(py::arg("days") = static_cast<long long>(whole), py::arg("microseconds") = micro);
}

DATE date_from_python(py::handle value) {
  const Types& t = types();
  py::object dt = py::reinterpret_borrow<py::object>(value);
  // A naive datetime is taken as UTC, as the time stamps this module gives are.
  if (dt.attr("tzinfo").is_none()) dt = dt.attr("replace")(py::arg("tzinfo") = t.utc);
  const long long micro = (dt - t.epoch).attr("__floordiv__")(t.microsecond).cast<long long>();
  const long long day = static_cast<long long>(kMicrosecondsPerDay);
  long long days = micro / day, rest = micro % day;
  if (rest < 0) {
    days -= 1;
    rest += day;
  }
  const double fraction = static_cast<double>(rest) / kMicrosecondsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

}  // namespace

void init_values(py::module_& m) {
  Types& t = types();
  py::module_ dt = py::module_::import("datetime");
  t.datetime = dt.attr("datetime");
  t.timedelta = dt.attr("timedelta");
  t.utc = dt.attr("timezone").attr("utc");
  t.epoch = t.datetime(1899, 12, 30, py::arg("tzinfo") = t.utc);
  t.microsecond = t.timedelta(py::arg("microseconds") = 1);
  t.null = m.attr("Null");
}

py::object to_python(const Variant& v) {
  if (v.is_array()) {
    py::list out;
    for (const auto& e : v.array().elements()) out.append(to_python(e));
    return out;
  }
  switch (v.vt()) {
    case VT_EMPTY: return py::none();
    case VT_NULL: return types().null;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_ERROR: return py::int_(v.signed_payload());
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8: return py::int_(v.unsigned_payload());
    case VT_R4:
    case VT_R8: return py::float_(v.double_payload());
    case VT_BOOL: return py::bool_(v.signed_payload() != 0);
    case VT_BSTR: return py::str(v.bstr());
    case VT_DATE: return date_to_python(v.date_value());
    case VT_DISPATCH: return v.is_nothing() ? py::none() : wrap_object(v.dispatch());
    default: throw py::type_error("an automation value of type " + vartype_name(v.vt()) + " has no Python form");
  }
}

Variant from_python(py::handle o) {
  if (o.is_none()) return Variant();
  if (o.is(types().null)) return Variant::null();
  // bool before int: in Python a bool is an int.
  if (py::isinstance<py::bool_>(o)) return Variant(o.cast<bool>());
  if (py::isinstance<py::int_>(o)) {
    // The smallest integer type that holds it, as a script host gives a literal; 2^63 to 2^64-1
    // as an unsigned 64-bit number, so that a UInt64 read can be written back; a number too large
    // for any integer becomes a double.
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(o.ptr());
      if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return Variant(static_cast<std::uint64_t>(u));
      PyErr_Clear();
    }
    if (overflow != 0) return Variant(o.cast<double>());
    if (n >= std::numeric_limits<std::int16_t>::min() && n <= std::numeric_limits<std::int16_t>::max())
      return Variant(static_cast<std::int16_t>(n));
    if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max())
      return Variant(static_cast<std::int32_t>(n));
    return Variant(n);
  }
  if (py::isinstance<py::float_>(o)) return Variant(o.cast<double>());
  if (py::isinstance<py::str>(o)) return Variant(o.cast<std::string>());
  if (py::isinstance(o, types().datetime)) return Variant::date(date_from_python(o));
  if (auto object = unwrap_object(o)) return Variant(std::move(object));
  if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
    // One-based, as the OPC automation interfaces take their arrays.
    auto seq = py::reinterpret_borrow<py::sequence>(o);
    std::vector<Variant> values;
    values.reserve(seq.size());
    for (auto e : seq) values.push_back(from_python(e));
    return make_array(VT_VARIANT, values, 1);
  }
  throw py::type_error("a Python " + std::string(py::str(o.get_type().attr("__name__"))) + " has no automation form");
}

}  // namespace vexa32::python
