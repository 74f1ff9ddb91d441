#pragma once
// The four arrays of one DataChange event (client handles, values, qualities, time stamps), built
// in place. The arrays of the last event are filled again when no handler kept them: a steady
// stream of large data changes then allocates nothing, where fresh arrays each time cost more in
// page faults than all the rest of the delivery.

#include <cstddef>
#include <vector>

#include "platform/opcda/automation.h"

namespace vexa32::opcda {

class DataChangeArrays {
 public:
  // Begins a data change of up to `capacity` entries (more may be added, at the price of growing).
  void start(std::size_t capacity);
  // Only between start and raise.
  void add(std::int32_t client_handle, Variant&& value, std::int32_t quality, DATE timestamp) {
    parts_[0]->emplace_back(client_handle);
    parts_[1]->push_back(std::move(value));
    parts_[2]->emplace_back(quality);
    parts_[3]->push_back(Variant::date(timestamp));
  }
  std::size_t size() const noexcept { return parts_[0] ? parts_[0]->size() : 0; }
  // Raises the event with what was added, nothing when that is nothing; false then. A handler
  // may run the message loop and so start another data change of this same builder meanwhile.
  bool raise(const DataChangeEvent& event);

 private:
  Variant arrays_[4];
  std::vector<Variant>* parts_[4] = {};
};

}  // namespace vexa32::opcda
