#pragma once
// The names of the per-slot members, built once: "itm0" .. "itm59" are the tag-name properties
// and their property-bag keys, "vl0" .. "vl59" the value properties.

#include <string>

namespace vexa32::detail {

const std::string& itm_name(int slot);
const std::string& vl_name(int slot);

}  // namespace vexa32::detail
