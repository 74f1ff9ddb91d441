#pragma once
// How UA values look to an OPC DA client and back: built-in types and automation types, status
// codes and DA qualities, UA DateTime and automation DATE.

#include <optional>

#include "platform/automation/variant.h"
#include "platform/opcua/encoding.h"

namespace vexa32::opcua {

// DATE (days since 1899-12-30) of a UA DateTime (UTC ticks since 1601); 0 for the null time.
DATE to_date(DateTime ticks);
DateTime from_date(DATE date);

constexpr std::int32_t kQualityConfigError = 0x04;  // bad, configuration error

// The DA quality of a status code: the standard's table, with the limit bits carried over.
std::int32_t quality_of(StatusCode status);

// The automation type of a built-in type; VT_EMPTY for one that has none here.
VarType vartype_of(BuiltinType type);
// The built-in type of a node's DataType, for the types and their common subtypes (Duration,
// UtcTime, LocaleId, enumerations, ...); nullopt for an abstract or structured type.
std::optional<BuiltinType> builtin_of_data_type(const NodeId& data_type);
// The canonical DA type of a node from its DataType and ValueRank (arrays as VT_ARRAY|type);
// VT_VARIANT when the node may hold values of several types.
VarType canonical_type(const NodeId& data_type, std::int32_t value_rank);

// A UA value as an automation value: scalars of the types above, one-dimensional arrays as
// one-based arrays; VT_EMPTY for a null value. nullopt for what has no automation form
// (structures, multi-dimensional arrays).
std::optional<Variant> to_automation(const UaVariant& value);
// An automation value as a UA value of the given built-in type, converted first by the
// automation rules (VT_R8 42.0 to Int32 gives 42); AutomationError when the rules refuse. An
// array goes element by element when array is true.
UaVariant from_automation(const Variant& value, BuiltinType type, bool array);
// What one DataValue gives an OPC DA item: the value (in the requested type unless that is
// VT_EMPTY), the quality, and the source time stamp, else the server's. A value without an
// automation form, or one the requested type cannot take, is empty with quality 0x04.
struct DaSample {
  Variant value;
  std::int32_t quality = 0;
  DATE timestamp = 0;
};
DaSample to_da_sample(const DataValue& value, std::int16_t requested_type);
// The same, read straight from an encoded DataValue: the common scalars go into the automation
// value without a UA value in between, everything else through the general decoder.
DaSample decode_da_sample(Reader& r);
// The requested type applied to a sample, as to_da_sample does.
void apply_requested_type(DaSample& sample, std::int16_t requested_type);

// The built-in type an automation value naturally takes, for a node of no fixed type.
BuiltinType natural_builtin(VarType vt);

}  // namespace vexa32::opcua
