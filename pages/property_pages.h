#pragma once
// The property pages by the names a control gives them.

#include <string_view>

#include "platform/qt/property_frame.h"

namespace vexa32::pages {

// A new page of that name, nullptr for a name no page answers to.
qt::PropertyPage* create_property_page(std::string_view name);

}  // namespace vexa32::pages
