#pragma once
// Reading the array arguments of the OPC automation calls, as every server of this model does:
// one-based arrays, one entry per item, checked against the count the caller gives.

#include <chrono>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace vexa32::opcda {

AutomationError bad_argument(const std::string& what);
// Element i (1-based) of an argument array; E_INVALIDARG when the caller passed fewer.
Variant arg_at(const Variant& array, std::int32_t i, const char* what);
// E_INVALIDARG for a negative item count.
void check_count(std::int32_t count);
// A typed one-based array for out-arguments.
Variant out_array(VarType type, const std::vector<Variant>& values);
// The update rate a server applies: below the fastest it serves (10 ms), or zero and less, the
// fastest, so a server never spins.
std::int32_t revise_update_rate(std::int32_t requested);
// The pause before attempt n (from 0) to restore a lost connection: the first, doubling each time,
// never longer than the last.
std::chrono::milliseconds retry_pause(std::chrono::milliseconds first, std::chrono::milliseconds last, int attempt);

}  // namespace vexa32::opcda
