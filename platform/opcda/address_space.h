#pragma once
// The address space of the embedded simulation servers: branches and leaves, each leaf an item
// with a canonical type, access rights and a signal that gives its value over time.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/variant.h"

namespace vexa32::opcda {

enum class Signal {
  Stored,   // holds what was last written (or its initial value)
  Sine,     // 100 * sin(2 pi t / period)
  Ramp,     // 0 .. 100 over each period
  Random,   // a new pseudo-random value every period
  Counter,  // +1 every period, wrapping in its type
  Square,   // true and false in turn, each for half a period
  Clock,    // the server's wall time, to the second
  Array,    // five elements counting up every period
};

struct ItemDef {
  std::string item_id;
  std::string leaf_name;
  VarType canonical = VT_R8;
  std::int32_t access = 1;  // OPC_READABLE | OPC_WRITEABLE bits
  Signal signal = Signal::Stored;
  double period = 1.0;  // seconds
  Variant initial;      // Stored items start with it
  std::int32_t quality = 0xC0;
  std::size_t index = 0;  // position in the address space, for per-item random streams
};

struct BrowseNode {
  std::string name;
  std::string item_id;            // full dotted ID of the branch or leaf
  const ItemDef* item = nullptr;  // leaves only
  BrowseNode* parent = nullptr;
  std::vector<std::unique_ptr<BrowseNode>> children;

  bool is_leaf() const noexcept { return item != nullptr; }
  const BrowseNode* child(std::string_view child_name) const;
};

class AddressSpace {
 public:
  AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // The standard set: SimulatePLC.*, the example form's test1.cpu.SignalTags.*, arrays, every
  // common type, read-only, write-only, uncertain and bad items, a branch whose name holds blanks
  // and a dot, a one-character branch and leaves at the root.
  static std::unique_ptr<AddressSpace> standard();

  // Adds a leaf under the branch path (created as needed); its item ID is the path and the leaf
  // name joined with ".".
  const ItemDef& add(const std::vector<std::string>& branch_path, ItemDef def);

  const ItemDef* find(std::string_view item_id) const;
  const BrowseNode& root() const noexcept { return *root_; }
  const std::vector<std::unique_ptr<ItemDef>>& items() const noexcept { return items_; }

 private:
  std::unique_ptr<BrowseNode> root_;
  std::vector<std::unique_ptr<ItemDef>> items_;
};

// The value of a computed signal at t seconds after server start (wall: the server's wall time as
// a DATE); a Stored item gives its initial value.
Variant evaluate_signal(const ItemDef& item, double t, DATE wall);

// OPC_E_INVALIDITEMID for an ID that no server could hold (empty, blank, control characters,
// empty segments), 0 otherwise.
HRESULT check_item_id_syntax(std::string_view item_id);

}  // namespace vexa32::opcda
