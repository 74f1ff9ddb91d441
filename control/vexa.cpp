#include "control/vexa.h"

#include "control/csv.h"
#include "control/slot_names_p.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"

namespace vexa32 {
namespace {

// Fixed DISPIDs: members in interface order from 1; slots 0..19 early, 20..59 at the end.
constexpr DISPID kIsConnect = 1, kCnnec = 2, kDiscnn = 3, kSvrname = 4, kNodname = 5;
constexpr DISPID kItm0 = 6, kVl0 = 26;
constexpr DISPID kOpcWrt = 46, kGetVl = 47, kGetItmName = 48, kSetItmName = 49, kGetQuality = 50, kGetTimeStamp = 51;
constexpr DISPID kUpdateRate = 52, kReadTextFileContents = 53, kFileExists = 54, kLoadCSV = 55;
constexpr DISPID kSrcFile = 56, kDelimit = 57, kRowCount = 58, kColumnIndex = 59, kStartRow = 60;
constexpr DISPID kItm20 = 61, kVl20 = 101;
constexpr DISPID kDatChange = 1;

DISPID itm_dispid(int n) { return n < 20 ? kItm0 + n : kItm20 + (n - 20); }
DISPID vl_dispid(int n) { return n < 20 ? kVl0 + n : kVl20 + (n - 20); }

bool in_range(std::int16_t index) { return index >= 0 && index < vexa::kSlots; }

using SlotNames = std::array<std::string, vexa::kSlots>;

SlotNames slot_names(const char* prefix) {
  SlotNames names;
  for (int n = 0; n < vexa::kSlots; ++n) names[static_cast<std::size_t>(n)] = prefix + std::to_string(n);
  return names;
}

void add_slot_members(TypeInfoBuilder<vexa>& b, int first, int last) {
  for (int n = first; n <= last; ++n) {
    const std::string& name = detail::itm_name(n);
    b.get(name, itm_dispid(n), VT_BSTR, [n](vexa& c) { return Variant(c.get_itm(n)); });
    b.put(name, itm_dispid(n), VT_BSTR, [n](vexa& c, const Variant& v) { c.put_itm(n, v.bstr()); });
  }
  for (int n = first; n <= last; ++n) {
    // vl0..vl3 are kept out of property browsers; the others are listed, read-only.
    std::uint32_t flags = n < 4 ? FUNCFLAG_FNONBROWSABLE : 0;
    b.get(
        detail::vl_name(n), vl_dispid(n), VT_VARIANT, [n](vexa& c) { return c.get_vl(n); }, flags);
  }
}

TypeInfo build_default_interface() {
  TypeInfoBuilder<vexa> b("_vexa");
  b.get("IsConnect", kIsConnect, VT_BOOL, [](vexa& c) { return Variant::from_bool(c.get_IsConnect()); });
  b.put("IsConnect", kIsConnect, VT_BOOL, [](vexa& c, const Variant& v) { c.put_IsConnect(v.boolean()); });
  b.method("cnnec", kCnnec, {}, VT_BOOL, [](vexa& c, InvokeArgs) { return Variant::from_bool(c.cnnec()); });
  b.method("discnn", kDiscnn, {}, VT_BOOL,
           [](vexa& c, InvokeArgs) { return Variant::from_bool(c.discnn()); });
  b.get("svrname", kSvrname, VT_BSTR, [](vexa& c) { return Variant(c.get_svrname()); });
  b.put("svrname", kSvrname, VT_BSTR, [](vexa& c, const Variant& v) { c.put_svrname(v.bstr()); });
  b.get("nodname", kNodname, VT_BSTR, [](vexa& c) { return Variant(c.get_nodname()); });
  b.put("nodname", kNodname, VT_BSTR, [](vexa& c, const Variant& v) { c.put_nodname(v.bstr()); });
  add_slot_members(b, 0, 19);
  b.method("opcWrt", kOpcWrt, {{"itm_no", VT_I2}, {"vl", VT_VARIANT}}, VT_BOOL,
           [](vexa& c, InvokeArgs a) { return Variant::from_bool(c.opcWrt(a[0].i2(), a[1])); });
  b.method("GetVl", kGetVl, {{"index", VT_I2}}, VT_VARIANT,
           [](vexa& c, InvokeArgs a) { return c.GetVl(a[0].i2()); });
  b.method("GetItmName", kGetItmName, {{"index", VT_I2}}, VT_BSTR,
           [](vexa& c, InvokeArgs a) { return Variant(c.GetItmName(a[0].i2())); });
  b.method("SetItmName", kSetItmName, {{"index", VT_I2}, {"name", VT_BSTR}}, VT_EMPTY,
           [](vexa& c, InvokeArgs a) {
             c.SetItmName(a[0].i2(), a[1].bstr());
             return Variant();
           });
  b.method("GetQuality", kGetQuality, {{"index", VT_I2}}, VT_VARIANT,
           [](vexa& c, InvokeArgs a) { return c.GetQuality(a[0].i2()); });
  b.method("GetTimeStamp", kGetTimeStamp, {{"index", VT_I2}}, VT_DATE,
           [](vexa& c, InvokeArgs a) { return Variant::date(c.GetTimeStamp(a[0].i2())); });
  b.get("UpdateRate", kUpdateRate, VT_VARIANT, [](vexa& c) { return c.get_UpdateRate(); });
  b.put("UpdateRate", kUpdateRate, VT_VARIANT, [](vexa& c, const Variant& v) { c.put_UpdateRate(v); });
  b.method("ReadTextFileContents", kReadTextFileContents, {{"filename", VT_BSTR}}, VT_BSTR,
           [](vexa& c, InvokeArgs a) { return Variant(c.ReadTextFileContents(a[0].bstr())); });
  b.method("FileExists", kFileExists, {{"strPath", VT_BSTR}}, VT_BOOL,
           [](vexa& c, InvokeArgs a) { return Variant::from_bool(c.FileExists(a[0].bstr())); });
  b.method("loadCSV", kLoadCSV,
           {{"startRow", VT_I2},
            {"columnIndex", VT_I2},
            {"rowCount", VT_I2},
            {"delimitWord", VT_BSTR},
            {"sourceFile", VT_BSTR}},
           VT_EMPTY, [](vexa& c, InvokeArgs a) {
             c.loadCSV(a[0].i2(), a[1].i2(), a[2].i2(), a[3].bstr(), a[4].bstr());
             return Variant();
           });
  b.get("srcFile", kSrcFile, VT_BSTR, [](vexa& c) { return Variant(c.get_srcFile()); });
  b.put("srcFile", kSrcFile, VT_BSTR, [](vexa& c, const Variant& v) { c.put_srcFile(v.bstr()); });
  b.get("delimit", kDelimit, VT_BSTR, [](vexa& c) { return Variant(c.get_delimit()); });
  b.put("delimit", kDelimit, VT_BSTR, [](vexa& c, const Variant& v) { c.put_delimit(v.bstr()); });
  b.get("rowCount", kRowCount, VT_I2, [](vexa& c) { return Variant(c.get_rowCount()); });
  b.put("rowCount", kRowCount, VT_I2, [](vexa& c, const Variant& v) { c.put_rowCount(v.i2()); });
  b.get("columnIndex", kColumnIndex, VT_I2, [](vexa& c) { return Variant(c.get_columnIndex()); });
  b.put("columnIndex", kColumnIndex, VT_I2, [](vexa& c, const Variant& v) { c.put_columnIndex(v.i2()); });
  b.get("startRow", kStartRow, VT_I2, [](vexa& c) { return Variant(c.get_startRow()); });
  b.put("startRow", kStartRow, VT_I2, [](vexa& c, const Variant& v) { c.put_startRow(v.i2()); });
  add_slot_members(b, 20, 59);
  return b.build();
}

}  // namespace

const std::string& detail::itm_name(int slot) {
  static const SlotNames names = slot_names("itm");
  return names.at(static_cast<std::size_t>(slot));
}

const std::string& detail::vl_name(int slot) {
  static const SlotNames names = slot_names("vl");
  return names.at(static_cast<std::size_t>(slot));
}

const TypeInfo& vexa::default_interface() {
  static const TypeInfo info = build_default_interface();
  return info;
}

const TypeInfo& vexa::source_interface() {
  static const TypeInfo info = TypeInfoBuilder<Dispatch>("__vexa").event("datChange", kDatChange).build();
  return info;
}

const TypeInfo& vexa::type_info() const { return default_interface(); }

vexa::vexa() : events_(source_interface()) { itemQualities.fill(kNoQuality); }

vexa::~vexa() {
  if (IsConnect) run_disconnect_sequence(true);
  set_group(nullptr);
}

void vexa::property_changed(const char* name) {
  if (site_) site_->OnChanged(name);
}

// ---------------------------------------------------------------- properties

void vexa::put_svrname(const std::string& value) {
  svrname_ = value;
  property_changed("svrname");
}

std::string vexa::get_nodname() const { return to_bstr(nodname_); }

void vexa::put_nodname(const std::string& value) {
  nodname_ = Variant(value);
  property_changed("nodname");
}

namespace {
// The per-slot members are reached by their own names, so a bad slot number here is a caller's
// mistake: subscript out of range, never memory outside the tables.
void check_slot(int slot) {
  if (slot < 0 || slot >= vexa::kSlots) throw subscript_error();
}
}  // namespace

std::string vexa::get_itm(int slot) const {
  check_slot(slot);
  return itm_[static_cast<std::size_t>(slot)];
}

void vexa::put_itm(int slot, const std::string& value) {
  check_slot(slot);
  itm_[static_cast<std::size_t>(slot)] = value;
  property_changed(detail::itm_name(slot).c_str());
}

Variant vexa::get_vl(int slot) const {
  check_slot(slot);
  return itemValues[static_cast<std::size_t>(slot)];
}

void vexa::put_UpdateRate(const Variant& value) {
  // A value that is no 16-bit number fails here, before anything is stored or reported.
  update_rate_ = to_i2(value);
  property_changed("UpdateRate");
}

void vexa::put_srcFile(const std::string& value) {
  src_file_ = value;
  property_changed("srcFile");
}

void vexa::put_delimit(const std::string& value) {
  delimit_ = value;
  property_changed("delimit");
}

void vexa::put_rowCount(std::int16_t value) {
  row_count_ = value;
  property_changed("rowCount");
}

void vexa::put_columnIndex(std::int16_t value) {
  column_index_ = value;
  property_changed("columnIndex");
}

void vexa::put_startRow(std::int16_t value) {
  start_row_ = value;
  property_changed("startRow");
}

// ---------------------------------------------------------------- slots by number

Variant vexa::GetVl(std::int16_t index) const {
  return in_range(index) ? itemValues[static_cast<std::size_t>(index)] : Variant::null();
}

std::string vexa::GetItmName(std::int16_t index) const {
  return in_range(index) ? itm_[static_cast<std::size_t>(index)] : std::string();
}

void vexa::SetItmName(std::int16_t index, const std::string& name) {
  if (in_range(index)) put_itm(index, name);
}

Variant vexa::GetQuality(std::int16_t index) const {
  if (!in_range(index)) return Variant::null();
  const std::int64_t q = itemQualities[static_cast<std::size_t>(index)];
  if (q == kNoQuality) return Variant();
  // Either of the two top bits of the low byte counts as good (good, uncertain and 0x80..0xBF);
  // only a bad quality keeps its code, substatus and limit bits included.
  if (q & 0xC0) return Variant("Good");
  return Variant(static_cast<std::int32_t>(q));
}

DATE vexa::GetTimeStamp(std::int16_t index) const {
  if (!in_range(index)) throw invalid_use_of_null_error();
  return itemTimeStamps[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------- CSV

std::string vexa::ReadTextFileContents(const std::string& filename) const {
  return vexa32::ReadTextFileContents(filename);
}

VARIANT_BOOL vexa::FileExists(const std::string& path) const {
  return vexa32::FileExists(path) ? VARIANT_TRUE : VARIANT_FALSE;
}

void vexa::loadCSV(std::int16_t startRow, std::int16_t columnIndex, std::int16_t rowCount,
                   const std::string& delimitWord, const std::string& sourceFile) {
  import_csv_file(sourceFile, delimitWord, startRow, columnIndex, rowCount,
                  [this](std::int16_t slot, const std::string& name) { SetItmName(slot, name); });
}

// ---------------------------------------------------------------- surface

void vexa::Command1_Click() { cnnec(); }

void vexa::Command2_Click() { run_disconnect_sequence(true); }

void vexa::Image1_Click() { message_box_service().show("VEXA32 - OPC Data Access client control for Linux", "VEXA32"); }

void vexa::UserControl_Click() {
  if (site_) site_->ShowAboutBox();
}

}  // namespace vexa32
