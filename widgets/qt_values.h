#pragma once
// Automation values as Qt developers expect them: numbers as numbers, text as QString, dates as
// QDateTime in UTC, arrays as QVariantList, Null as a null QVariant, Empty as an invalid one.

#include <QVariant>

#include "platform/automation/variant.h"

namespace vexa32::widgets {

QVariant to_qvariant(const Variant& value);
// The way back, for writes; AutomationError (type mismatch, 13) for what has no automation form.
Variant from_qvariant(const QVariant& value);

}  // namespace vexa32::widgets
