// The settings of the vexa control in its container's property bag: 68 keys, the same defaults
// for InitProperties, ReadProperties and WriteProperties, no notifications on load.

#include "control/slot_names_p.h"
#include "control/vexa.h"
#include "platform/automation/convert.h"

namespace vexa32 {
namespace {

const Variant kDefaultUpdateRate(std::int16_t{1000});
const Variant kDefaultStartRow(std::int16_t{1});
const Variant kDefaultColumnIndex(std::int16_t{0});
const Variant kDefaultRowCount(std::int16_t{60});
const Variant kDefaultDelimit(",");
const Variant kEmptyText("");

}  // namespace

void vexa::InitProperties() {
  update_rate_ = kDefaultUpdateRate.i2();
  svrname_.clear();
  nodname_ = kEmptyText;
  for (auto& name : itm_) name.clear();
  start_row_ = kDefaultStartRow.i2();
  column_index_ = kDefaultColumnIndex.i2();
  row_count_ = kDefaultRowCount.i2();
  delimit_ = kDefaultDelimit.bstr();
  src_file_.clear();
}

void vexa::ReadProperties(PropertyBag& bag) {
  // No trap: a failing key ends the load there, keys before it applied, keys after it untouched.
  update_rate_ = to_i2(bag.ReadProperty("UpdateRate", kDefaultUpdateRate));
  svrname_ = to_bstr(bag.ReadProperty("svrname", kEmptyText));
  nodname_ = bag.ReadProperty("nodname", kEmptyText);
  for (int n = 0; n < kSlots; ++n)
    itm_[static_cast<std::size_t>(n)] = to_bstr(bag.ReadProperty(detail::itm_name(n), kEmptyText));
  start_row_ = to_i2(bag.ReadProperty("startRow", kDefaultStartRow));
  column_index_ = to_i2(bag.ReadProperty("columnIndex", kDefaultColumnIndex));
  row_count_ = to_i2(bag.ReadProperty("rowCount", kDefaultRowCount));
  delimit_ = to_bstr(bag.ReadProperty("delimit", kDefaultDelimit));
  src_file_ = to_bstr(bag.ReadProperty("srcFile", kEmptyText));
}

void vexa::WriteProperties(PropertyBag& bag) const {
  bag.WriteProperty("svrname", Variant(svrname_), kEmptyText);
  bag.WriteProperty("nodname", nodname_, kEmptyText);
  bag.WriteProperty("UpdateRate", Variant(update_rate_), kDefaultUpdateRate);
  for (int n = 0; n < kSlots; ++n)
    bag.WriteProperty(detail::itm_name(n), Variant(itm_[static_cast<std::size_t>(n)]), kEmptyText);
  bag.WriteProperty("startRow", Variant(start_row_), kDefaultStartRow);
  bag.WriteProperty("columnIndex", Variant(column_index_), kDefaultColumnIndex);
  bag.WriteProperty("rowCount", Variant(row_count_), kDefaultRowCount);
  bag.WriteProperty("delimit", Variant(delimit_), kDefaultDelimit);
  bag.WriteProperty("srcFile", Variant(src_file_), kEmptyText);
}

}  // namespace vexa32
