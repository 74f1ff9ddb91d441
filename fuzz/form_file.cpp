// Arbitrary bytes as a form file: either a clear AutomationError, or a form that serializes and
// reads back to the same values.
#include "platform/container/form_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace vexa32;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  Form form;
  try {
    form = parse_form(text, "fuzz.json");
  } catch (const AutomationError&) {
    return 0;
  }
  Form back = parse_form(serialize_form(form), "again.json");
  if (back.controls.size() != form.controls.size()) std::abort();
  for (std::size_t i = 0; i < form.controls.size(); ++i) {
    const auto& a = form.controls[i].properties.entries();
    const auto& b = back.controls[i].properties.entries();
    if (a.size() != b.size()) std::abort();
    for (std::size_t k = 0; k < a.size(); ++k) {
      if (a[k].first != b[k].first || !(a[k].second == b[k].second)) std::abort();
    }
  }
  return 0;
}
