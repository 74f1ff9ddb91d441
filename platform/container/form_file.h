#pragma once
// Form files: a saved form as JSON. A form holds controls (class, name, properties); the
// properties of a control are its property bag. Text values are plain JSON strings; every other
// value is tagged with its automation type ({"VT_I2": 100}) so that it reads back as exactly the
// type and value that was written.

#include <string>
#include <string_view>
#include <vector>

#include "platform/container/property_bag.h"

namespace vexa32 {

struct FormControl {
  std::string class_name;
  std::string name;
  MemoryPropertyBag properties;
};

struct Form {
  std::string name;
  std::string caption;
  int width = 0;  // client area, twips
  int height = 0;
  // The code module that runs behind the form in run mode, by name ("example" for the example
  // form); empty for a form that has none. A form is never given code for its name alone.
  std::string code;
  std::vector<FormControl> controls;

  FormControl* find(std::string_view control_name);
  FormControl& add(std::string class_name, std::string control_name);
};

// Malformed, truncated or ill-typed input fails with run-time error 31037 whose text names the
// source and the position ("Form1.json:3:14: ...") or the path of the offending value.
Form parse_form(std::string_view text, const std::string& source_name);
std::string serialize_form(const Form& form);
Form load_form_file(const std::string& path);
// Written to a temporary file first and renamed, so a failed save leaves the old file whole.
void save_form_file(const std::string& path, const Form& form);

}  // namespace vexa32
