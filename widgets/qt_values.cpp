#include "widgets/qt_values.h"

#include <QDateTime>
#include <cmath>

namespace vexa32::widgets {
namespace {

constexpr double kMillisecondsPerDay = 86400e3;
// QDateTime's milliseconds since 1970 of DATE 0, 30 December 1899 at midnight UTC.
constexpr qint64 kEpochOfDate = -2209161600000;

// A DATE's whole part counts days; its fraction is the time of day counted forward from midnight,
// also before 1899 (-1.25 is 29 December 1899, 06:00).
QDateTime date_to_qt(DATE date) {
  if (!std::isfinite(date)) return QDateTime();
  const double whole = std::trunc(date);
  const auto ms = static_cast<qint64>(std::llround(std::fabs(date - whole) * kMillisecondsPerDay));
  return QDateTime::fromMSecsSinceEpoch(kEpochOfDate + static_cast<qint64>(whole) * 86400000 + ms, Qt::UTC);
}

DATE date_from_qt(const QDateTime& value) {
  if (!value.isValid()) throw type_mismatch_error();
  const qint64 ms = value.toMSecsSinceEpoch() - kEpochOfDate;
  qint64 days = ms / 86400000, rest = ms % 86400000;
  if (rest < 0) {
    days -= 1;
    rest += 86400000;
  }
  const double fraction = static_cast<double>(rest) / kMillisecondsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

}  // namespace

QVariant to_qvariant(const Variant& value) {
  if (value.is_array()) {
    QVariantList list;
    for (const Variant& e : value.array().elements()) list.push_back(to_qvariant(e));
    return list;
  }
  switch (value.vt()) {
    case VT_EMPTY: return QVariant();
    case VT_NULL: return QVariant::fromValue(nullptr);
    case VT_I1:
    case VT_I2:
    case VT_I4: return QVariant(static_cast<int>(value.signed_payload()));
    case VT_I8: return QVariant(static_cast<qlonglong>(value.signed_payload()));
    case VT_UI1:
    case VT_UI2:
    case VT_UI4: return QVariant(static_cast<uint>(value.unsigned_payload()));
    case VT_UI8: return QVariant(static_cast<qulonglong>(value.unsigned_payload()));
    case VT_R4: return QVariant(static_cast<float>(value.double_payload()));
    case VT_R8: return QVariant(value.double_payload());
    case VT_BOOL: return QVariant(value.signed_payload() != 0);
    case VT_DATE: return QVariant(date_to_qt(value.date_value()));
    case VT_BSTR: return QVariant(QString::fromStdString(value.bstr()));
    case VT_ERROR: return QVariant(static_cast<int>(value.error_code()));
    default: return QVariant();
  }
}

Variant from_qvariant(const QVariant& value) {
  if (!value.isValid()) return Variant();
  switch (value.metaType().id()) {
    case QMetaType::Nullptr: return Variant::null();
    case QMetaType::Bool: return Variant(value.toBool());
    case QMetaType::Char:
    case QMetaType::SChar: return Variant(static_cast<std::int8_t>(value.toInt()));
    case QMetaType::UChar: return Variant(static_cast<std::uint8_t>(value.toUInt()));
    case QMetaType::Short: return Variant(static_cast<std::int16_t>(value.toInt()));
    case QMetaType::UShort: return Variant(static_cast<std::uint16_t>(value.toUInt()));
    case QMetaType::Int: return Variant(static_cast<std::int32_t>(value.toInt()));
    case QMetaType::UInt: return Variant(static_cast<std::uint32_t>(value.toUInt()));
    case QMetaType::Long:
    case QMetaType::LongLong: return Variant(static_cast<long long>(value.toLongLong()));
    case QMetaType::ULong:
    case QMetaType::ULongLong: return Variant(static_cast<unsigned long long>(value.toULongLong()));
    case QMetaType::Float: return Variant(value.toFloat());
    case QMetaType::Double: return Variant(value.toDouble());
    case QMetaType::QString: return Variant(value.toString().toStdString());
    case QMetaType::QByteArray: return Variant(value.toByteArray().toStdString());
    case QMetaType::QDateTime: return Variant::date(date_from_qt(value.toDateTime()));
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
      std::vector<Variant> elements;
      for (const QVariant& e : value.toList()) elements.push_back(from_qvariant(e));
      return make_array(VT_VARIANT, elements);
    }
    default: throw type_mismatch_error();
  }
}

}  // namespace vexa32::widgets
