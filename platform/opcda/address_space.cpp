#include "platform/opcda/address_space.h"

#include <cmath>
#include <numbers>

#include "platform/automation/convert.h"

namespace vexa32::opcda {

const BrowseNode* BrowseNode::child(std::string_view child_name) const {
  for (const auto& c : children) {
    if (c->name == child_name) return c.get();
  }
  return nullptr;
}

AddressSpace::AddressSpace() : root_(std::make_unique<BrowseNode>()) {}

const ItemDef& AddressSpace::add(const std::vector<std::string>& branch_path, ItemDef def) {
  BrowseNode* node = root_.get();
  std::string id;
  for (const auto& name : branch_path) {
    id += (id.empty() ? "" : ".") + name;
    BrowseNode* next = nullptr;
    for (auto& c : node->children) {
      if (c->name == name && !c->is_leaf()) next = c.get();
    }
    if (!next) {
      auto branch = std::make_unique<BrowseNode>();
      branch->name = name;
      branch->item_id = id;
      branch->parent = node;
      next = branch.get();
      node->children.push_back(std::move(branch));
    }
    node = next;
  }
  def.item_id = id.empty() ? def.leaf_name : id + "." + def.leaf_name;
  def.index = items_.size();
  if (def.signal == Signal::Stored && def.initial.is_empty()) def.initial = change_type(Variant(), def.canonical);
  items_.push_back(std::make_unique<ItemDef>(std::move(def)));
  const ItemDef& stored = *items_.back();
  auto leaf = std::make_unique<BrowseNode>();
  leaf->name = stored.leaf_name;
  leaf->item_id = stored.item_id;
  leaf->item = &stored;
  leaf->parent = node;
  node->children.push_back(std::move(leaf));
  return stored;
}

const ItemDef* AddressSpace::find(std::string_view item_id) const {
  for (const auto& item : items_) {
    if (item->item_id == item_id) return item.get();
  }
  return nullptr;
}

std::unique_ptr<AddressSpace> AddressSpace::standard() {
  auto space = std::make_unique<AddressSpace>();
  constexpr std::int32_t R = 1, W = 2, RW = 3;
  auto leaf = [](std::string name, VarType vt, std::int32_t access, Signal s, double period = 1.0,
                 Variant initial = Variant(), std::int32_t quality = 0xC0) {
    ItemDef d;
    d.leaf_name = std::move(name);
    d.canonical = vt;
    d.access = access;
    d.signal = s;
    d.period = period;
    d.initial = std::move(initial);
    d.quality = quality;
    return d;
  };

  space->add({}, leaf("Heartbeat", VT_BOOL, R, Signal::Square, 2.0));
  space->add({}, leaf("Version", VT_BSTR, R, Signal::Stored, 1.0, Variant("VEXA32 Simulation 1.0")));

  const std::vector<std::string> plc{"SimulatePLC"};
  space->add(plc, leaf("Sine", VT_R8, R, Signal::Sine, 6.0));
  space->add(plc, leaf("Ramp", VT_R8, R, Signal::Ramp, 10.0));
  space->add(plc, leaf("Random", VT_I4, R, Signal::Random, 0.5));
  space->add(plc, leaf("Counter", VT_I4, R, Signal::Counter, 1.0));
  space->add(plc, leaf("Square", VT_BOOL, R, Signal::Square, 4.0));
  space->add(plc, leaf("Setpoint", VT_R8, RW, Signal::Stored, 1.0, Variant(50.0)));
  space->add(plc, leaf("Text", VT_BSTR, RW, Signal::Stored, 1.0, Variant("hello")));
  space->add(plc, leaf("ReadOnly", VT_I2, R, Signal::Stored, 1.0, Variant(std::int16_t{42})));
  space->add(plc, leaf("WriteOnly", VT_I4, W, Signal::Stored));
  space->add(plc, leaf("Date", VT_DATE, R, Signal::Clock));
  space->add(plc, leaf("Uncertain", VT_R8, R, Signal::Stored, 1.0, Variant(12.5), 0x40));
  space->add(plc, leaf("Bad", VT_R8, R, Signal::Stored, 1.0, Variant(-1.0), 0x18));

  const std::vector<std::string> arrays{"SimulatePLC", "Arrays"};
  space->add(arrays, leaf("ByteArray", VT_ARRAY | VT_UI1, R, Signal::Array, 1.0));
  space->add(arrays, leaf("ShortArray", VT_ARRAY | VT_I2, R, Signal::Array, 2.0));
  space->add(arrays, leaf("LongArray", VT_ARRAY | VT_I4, RW, Signal::Stored, 1.0,
                          make_array(VT_I4, {Variant(1), Variant(2), Variant(3)}, 0)));
  space->add(arrays, leaf("FloatArray", VT_ARRAY | VT_R4, R, Signal::Array, 3.0));

  const std::vector<std::string> types{"SimulatePLC", "Types"};
  space->add(types, leaf("Boolean", VT_BOOL, RW, Signal::Stored));
  space->add(types, leaf("Char", VT_I1, RW, Signal::Stored));
  space->add(types, leaf("Byte", VT_UI1, RW, Signal::Stored));
  space->add(types, leaf("Short", VT_I2, RW, Signal::Stored));
  space->add(types, leaf("Word", VT_UI2, RW, Signal::Stored));
  space->add(types, leaf("Long", VT_I4, RW, Signal::Stored));
  space->add(types, leaf("DWord", VT_UI4, RW, Signal::Stored));
  space->add(types, leaf("Float", VT_R4, RW, Signal::Stored));
  space->add(types, leaf("Double", VT_R8, RW, Signal::Stored));
  space->add(types, leaf("String", VT_BSTR, RW, Signal::Stored));
  space->add(types, leaf("Date", VT_DATE, RW, Signal::Stored));

  const std::vector<std::string> signals{"test1", "cpu", "SignalTags"};
  space->add(signals, leaf("Signal_0001B", VT_BOOL, R, Signal::Square, 2.0));
  space->add(signals, leaf("Signal_0002W", VT_UI2, R, Signal::Counter, 0.5));
  space->add(signals, leaf("Signal_0003R", VT_R4, R, Signal::Sine, 8.0));
  space->add(signals, leaf("Signal_0004S", VT_BSTR, RW, Signal::Stored, 1.0, Variant("idle")));

  const std::vector<std::string> line{"Line 1.Area B"};
  space->add(line, leaf("Temperature", VT_R8, R, Signal::Ramp, 20.0));
  space->add(line, leaf("Running", VT_BOOL, RW, Signal::Stored, 1.0, Variant(true)));

  const std::vector<std::string> k{"K"};
  space->add(k, leaf("Level", VT_R4, R, Signal::Sine, 12.0));
  space->add(k, leaf("Pump", VT_BOOL, RW, Signal::Stored));
  return space;
}

namespace {

// A counter reduced into the range of its type, so it wraps the way a PLC register does.
Variant wrap_counter(long long n, VarType vt) {
  switch (vt) {
    case VT_I1: return Variant(static_cast<std::int8_t>(static_cast<std::uint8_t>(n)));
    case VT_UI1: return Variant(static_cast<std::uint8_t>(n));
    case VT_I2: return Variant(static_cast<std::int16_t>(static_cast<std::uint16_t>(n)));
    case VT_UI2: return Variant(static_cast<std::uint16_t>(n));
    case VT_I4: return Variant(static_cast<std::int32_t>(static_cast<std::uint32_t>(n)));
    case VT_UI4: return Variant(static_cast<std::uint32_t>(n));
    default: return change_type(Variant(static_cast<double>(n)), vt);
  }
}

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

Variant evaluate_signal(const ItemDef& item, double t, DATE wall) {
  const double period = item.period > 0 ? item.period : 1.0;
  const long long step = static_cast<long long>(std::floor(t / period));
  switch (item.signal) {
    case Signal::Stored: return item.initial;
    case Signal::Sine:
      return change_type(Variant(100.0 * std::sin(2.0 * std::numbers::pi * t / period)), item.canonical);
    case Signal::Ramp: return change_type(Variant(100.0 * (t / period - std::floor(t / period))), item.canonical);
    case Signal::Random: {
      double r =
          static_cast<double>(mix(static_cast<std::uint64_t>(step) * 1315423911ull + item.index) % 100000) / 100.0;
      return change_type(Variant(r), item.canonical);
    }
    case Signal::Counter: return wrap_counter(step, item.canonical);
    case Signal::Square: {
      bool high = static_cast<long long>(std::floor(2.0 * t / period)) % 2 == 1;
      return change_type(Variant(high), item.canonical);
    }
    case Signal::Clock: return Variant::date(std::round(wall * 86400.0) / 86400.0);
    case Signal::Array: {
      VarType et = static_cast<VarType>(item.canonical & ~VT_ARRAY);
      SafeArray a(et, 0, 5);
      for (std::int32_t i = 0; i < 5; ++i) a.raw_elements()[static_cast<std::size_t>(i)] = wrap_counter(step + i, et);
      return Variant(std::move(a));
    }
  }
  return Variant();
}

HRESULT check_item_id_syntax(std::string_view id) {
  bool blank = true;
  for (char c : id) {
    if (static_cast<unsigned char>(c) < 0x20) return hr::OPC_E_INVALIDITEMID;
    if (c != ' ') blank = false;
  }
  if (blank) return hr::OPC_E_INVALIDITEMID;
  if (id.front() == '.' || id.back() == '.' || id.find("..") != std::string_view::npos) return hr::OPC_E_INVALIDITEMID;
  return hr::S_OK;
}

}  // namespace vexa32::opcda
