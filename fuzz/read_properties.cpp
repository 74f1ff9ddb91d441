// Arbitrary form files loaded into a control: every control of the form is read with
// ReadProperties; a bad file or a bad value fails with an AutomationError, nothing crashes, and a
// load that succeeds saves and reloads to the same settings.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/vexa.h"
#include "platform/container/form_file.h"

using namespace vexa32;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Form form;
  try {
    form = parse_form(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
  } catch (const AutomationError&) {
    return 0;
  }
  for (auto& c : form.controls) {
    vexa control;
    try {
      control.ReadProperties(c.properties);
    } catch (const AutomationError&) {
      continue;
    }
    MemoryPropertyBag saved;
    control.WriteProperties(saved);
    vexa again;
    again.ReadProperties(saved);
    for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
      if (again.GetItmName(n) != control.GetItmName(n)) std::abort();
    }
    if (!(again.get_UpdateRate() == control.get_UpdateRate()) || again.get_delimit() != control.get_delimit() ||
        !(again.nodname_variant() == control.nodname_variant())) {
      std::abort();
    }
  }
  return 0;
}
