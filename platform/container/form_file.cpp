#include "platform/container/form_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/automation/errors.h"
#include "platform/automation/text.h"
#include "platform/container/text_file.h"

namespace vexa32 {
namespace {

// Ordered, so properties keep the order in which the control wrote them.
using json = nlohmann::ordered_json;

// A form file is a few kilobytes; anything far larger is not one of ours.
constexpr std::uint64_t kMaxFormFileBytes = 64 * 1024 * 1024;

AutomationError form_error(const std::string& where, const std::string& what) {
  return AutomationError(rt::FormLoadError, hr::CTL_E_FORMLOAD, where + ": " + what);
}

std::string position_of(std::string_view text, std::size_t byte) {
  // nlohmann reports the 1-based byte at which it stopped.
  std::size_t line = 1, col = 1;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 1;
    } else {
      ++col;
    }
  }
  return std::to_string(line) + ":" + std::to_string(col);
}

VarType type_from_name(const std::string& name, const std::string& where) {
  static const VarType kTypes[] = {VT_EMPTY, VT_NULL, VT_I1, VT_I2,   VT_I4,   VT_I8,   VT_UI1,   VT_UI2,    VT_UI4,
                                   VT_UI8,   VT_R4,   VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_ERROR, VT_VARIANT};
  for (VarType t : kTypes) {
    if (vartype_name(t) == name) return t;
  }
  throw form_error(where, "unknown value type \"" + name + "\"");
}

json encode_double(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

double decode_double(const json& j, const std::string& where) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "NaN") return std::nan("");
    if (s == "Infinity") return INFINITY;
    if (s == "-Infinity") return -INFINITY;
  }
  throw form_error(where, "expected a number");
}

json encode_value(const Variant& v, const std::string& where) {
  VarType vt = v.vt();
  if (vt == VT_BSTR) return v.bstr();
  if (v.is_array()) {
    const SafeArray& a = v.array();
    json items = json::array();
    for (const auto& e : a.elements()) items.push_back(encode_value(e, where));
    return json{
        {"VT_ARRAY", {{"type", vartype_name(a.element_type())}, {"lbound", a.lower_bound()}, {"items", items}}}};
  }
  json payload;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL: payload = nullptr; break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8: payload = v.signed_payload(); break;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8: payload = v.unsigned_payload(); break;
    case VT_R4:
    case VT_R8:
    case VT_DATE: payload = encode_double(v.double_payload()); break;
    case VT_BOOL: payload = v.signed_payload() != 0; break;
    case VT_ERROR: payload = v.error_code(); break;
    default: throw form_error(where, "a value of type " + vartype_name(vt) + " cannot be saved");
  }
  return json{{vartype_name(vt), payload}};
}

Variant decode_value(const json& j, const std::string& where) {
  if (j.is_string()) return Variant(j.get<std::string>());
  if (!j.is_object() || j.size() != 1) throw form_error(where, "expected a text or a {\"VT_type\": value} object");
  const std::string& tag = j.begin().key();
  const json& p = j.begin().value();
  if (tag == "VT_ARRAY") {
    if (!p.is_object() || !p.contains("type") || !p.contains("lbound") || !p.contains("items") ||
        !p["type"].is_string() || !p["lbound"].is_number_integer() || !p["items"].is_array()) {
      throw form_error(where, "an array needs \"type\", \"lbound\" and \"items\"");
    }
    VarType et = type_from_name(p["type"].get<std::string>(), where);
    std::int64_t lb = p["lbound"].get<std::int64_t>();
    if (lb < INT32_MIN || lb > INT32_MAX || p["items"].size() > (1u << 24))
      throw form_error(where, "array bounds out of range");
    SafeArray a(et, static_cast<std::int32_t>(lb), p["items"].size());
    std::int32_t i = static_cast<std::int32_t>(lb);
    for (const auto& item : p["items"]) {
      Variant e = decode_value(item, where + "[" + std::to_string(i - lb) + "]");
      if (et != VT_VARIANT && e.vt() != et) throw form_error(where, "array element of the wrong type");
      a.set(i++, e);
    }
    return Variant(std::move(a));
  }
  VarType vt = type_from_name(tag, where);
  auto need_int = [&](std::int64_t lo, std::int64_t hi) {
    if (!p.is_number_integer()) throw form_error(where, tag + " needs a whole number");
    if (p.is_number_unsigned() && p.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
      throw form_error(where, "number out of range for " + tag);
    std::int64_t v = p.get<std::int64_t>();
    if (v < lo || v > hi) throw form_error(where, "number out of range for " + tag);
    return v;
  };
  auto need_uint = [&](std::uint64_t hi) {
    if (!p.is_number_integer() || (p.is_number_integer() && !p.is_number_unsigned() && p.get<std::int64_t>() < 0)) {
      throw form_error(where, tag + " needs a whole number of at least 0");
    }
    std::uint64_t v = p.get<std::uint64_t>();
    if (v > hi) throw form_error(where, "number out of range for " + tag);
    return v;
  };
  switch (vt) {
    case VT_EMPTY: return Variant();
    case VT_NULL: return Variant::null();
    case VT_I1: return Variant(static_cast<std::int8_t>(need_int(INT8_MIN, INT8_MAX)));
    case VT_I2: return Variant(static_cast<std::int16_t>(need_int(INT16_MIN, INT16_MAX)));
    case VT_I4: return Variant(static_cast<std::int32_t>(need_int(INT32_MIN, INT32_MAX)));
    case VT_I8: return Variant(static_cast<long long>(need_int(INT64_MIN, INT64_MAX)));
    case VT_UI1: return Variant(static_cast<std::uint8_t>(need_uint(UINT8_MAX)));
    case VT_UI2: return Variant(static_cast<std::uint16_t>(need_uint(UINT16_MAX)));
    case VT_UI4: return Variant(static_cast<std::uint32_t>(need_uint(UINT32_MAX)));
    case VT_UI8: return Variant(static_cast<unsigned long long>(need_uint(UINT64_MAX)));
    case VT_R4: return Variant(static_cast<float>(decode_double(p, where)));
    case VT_R8: return Variant(decode_double(p, where));
    case VT_DATE: return Variant::date(decode_double(p, where));
    case VT_BOOL:
      if (!p.is_boolean()) throw form_error(where, "VT_BOOL needs true or false");
      return Variant(p.get<bool>());
    case VT_ERROR: return Variant::error(static_cast<HRESULT>(need_int(INT32_MIN, INT32_MAX)));
    default: throw form_error(where, "a value of type " + tag + " cannot be loaded");
  }
}

std::string need_string(const json& obj, const char* key, const std::string& where, bool required) {
  if (!obj.contains(key)) {
    if (required) throw form_error(where, std::string("missing \"") + key + "\"");
    return {};
  }
  if (!obj[key].is_string()) throw form_error(where + "." + key, "expected text");
  return obj[key].get<std::string>();
}

int need_int_field(const json& obj, const char* key, const std::string& where) {
  if (!obj.contains(key)) return 0;
  const json& v = obj[key];
  if (!v.is_number_integer() || v.get<std::int64_t>() < INT32_MIN || v.get<std::int64_t>() > INT32_MAX) {
    throw form_error(where + "." + key, "expected a whole number");
  }
  return v.get<int>();
}

}  // namespace

FormControl* Form::find(std::string_view control_name) {
  for (auto& c : controls) {
    if (ascii_lower(c.name) == ascii_lower(control_name)) return &c;
  }
  return nullptr;
}

FormControl& Form::add(std::string class_name, std::string control_name) {
  controls.push_back(FormControl{std::move(class_name), std::move(control_name), {}});
  return controls.back();
}

Form parse_form(std::string_view text, const std::string& source_name) {
  json doc;
  try {
    doc = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    // Keep the parser's own words after its "[json.exception...] parse error at ...: " prefix.
    auto colon = what.find(": ", what.find("parse error"));
    if (colon != std::string::npos) what = what.substr(colon + 2);
    throw form_error(source_name + ":" + position_of(text, e.byte), what);
  } catch (const json::exception& e) {
    // A number too large for any type, and the parser's other complaints that carry no position.
    std::string what = e.what();
    auto bracket = what.find("] ");
    throw form_error(source_name, bracket == std::string::npos ? what : what.substr(bracket + 2));
  }
  if (!doc.is_object()) throw form_error(source_name, "a form file holds one JSON object");
  Form form;
  form.name = need_string(doc, "form", source_name, true);
  form.caption = need_string(doc, "caption", source_name, false);
  form.width = need_int_field(doc, "width", source_name);
  form.height = need_int_field(doc, "height", source_name);
  form.code = need_string(doc, "code", source_name, false);
  if (doc.contains("controls")) {
    if (!doc["controls"].is_array()) throw form_error(source_name + ": controls", "expected a list of controls");
    std::size_t index = 0;
    for (const auto& c : doc["controls"]) {
      std::string where = source_name + ": controls[" + std::to_string(index++) + "]";
      if (!c.is_object()) throw form_error(where, "expected an object");
      FormControl& fc = form.add(need_string(c, "class", where, true), need_string(c, "name", where, true));
      if (!c.contains("properties")) continue;
      if (!c["properties"].is_object()) throw form_error(where + ".properties", "expected an object");
      for (const auto& [key, value] : c["properties"].items()) {
        if (fc.properties.contains(key)) throw form_error(where + ".properties." + key, "key given twice");
        fc.properties.set(key, decode_value(value, where + ".properties." + key));
      }
    }
  }
  return form;
}

std::string serialize_form(const Form& form) {
  json out = json::object();
  out["form"] = form.name;
  if (!form.caption.empty()) out["caption"] = form.caption;
  if (form.width) out["width"] = form.width;
  if (form.height) out["height"] = form.height;
  if (!form.code.empty()) out["code"] = form.code;
  out["controls"] = json::array();
  for (const auto& c : form.controls) {
    json props = json::object();
    for (const auto& [key, value] : c.properties.entries()) {
      props[key] = encode_value(value, form.name + "." + c.name + "." + key);
    }
    json jc = json::object();
    jc["class"] = c.class_name;
    jc["name"] = c.name;
    jc["properties"] = std::move(props);
    out["controls"].push_back(std::move(jc));
  }
  return out.dump(2) + "\n";
}

Form load_form_file(const std::string& path) {
  // Through the reader that never blocks: a path naming a FIFO or a device is refused, not waited on.
  std::string text;
  if (!read_text_file(path, text, kMaxFormFileBytes))
    throw AutomationError(rt::FileNotFound, hr::CTL_E_FILENOTFOUND, path + ": cannot open the form file");
  return parse_form(text, path);
}

namespace {

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void save_form_file(const std::string& path, const Form& form) {
  const std::string text = serialize_form(form);
  // A temporary file of its own in the same folder (two saves never share one), on disk before it
  // replaces the form: a crash leaves the old form or the new one, never half of one.
  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw AutomationError(rt::FormLoadError, hr::CTL_E_FORMLOAD, path + ": cannot write the form file");
  const bool written = ::fchmod(fd, 0644) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(tmp.c_str());
    throw AutomationError(rt::FormLoadError, hr::CTL_E_FORMLOAD, path + ": cannot write the form file");
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw AutomationError(rt::FormLoadError, hr::CTL_E_FORMLOAD, path + ": cannot replace the form file");
  }
  // The rename itself reaches the disk with the folder.
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace vexa32
