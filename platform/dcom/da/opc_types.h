#pragma once
// The OPC DA structures as NDR carries them, where a codec of their own pays: item states, the
// answer of every read.

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/dcom/ndr.h"

namespace vexa32::dcom::da {

// OPCITEMSTATE: the client's handle, the FILETIME of the value, its quality and the value.
struct ItemState {
  ItemState() = default;
  // The value from anything a Variant is made of, made in place (a decoder's lazy value too).
  template <class Value>
  ItemState(std::uint32_t handle, std::uint64_t ticks, std::uint16_t q, Value&& v)
      : client_handle(handle), time(ticks), quality(q), value(std::forward<Value>(v)) {}

  std::uint32_t client_handle = 0;
  std::uint64_t time = 0;  // FILETIME ticks
  std::uint16_t quality = 0;
  Variant value;
};

// What IOPCSyncIO::Read answers after ORPCTHAT: an array of count states (none when the server
// sends a null pointer, as it does when the call failed), an HRESULT per item, and the call's
// result. NdrError when the counts differ from count or the stub does not add up.
struct ReadAnswer {
  std::vector<ItemState> states;
  std::vector<std::uint32_t> errors;
  std::uint32_t result = 0;
};
ReadAnswer read_item_states_answer(NdrReader& r, std::uint32_t count);

// The same answer as a server writes it, for tests and benchmarks.
void write_item_states_answer(NdrWriter& w, const ReadAnswer& answer);

// IOPCDataCallback::OnDataChange and OnReadComplete after ORPCTHIS: the transaction, the group's
// client handle, the master quality and error, and per item its client handle, value, quality,
// time stamp and error, as states. NdrError when the arrays' counts differ from dwCount or the
// stub does not add up.
struct DataChange {
  std::uint32_t transaction = 0, group = 0;
  std::uint32_t master_quality = 0, master_error = 0;
  std::vector<ItemState> states;
  std::vector<std::uint32_t> errors;
};
DataChange read_data_change(NdrReader& r);
// The same call as a server writes it, for tests and the fuzzer's seeds.
void write_data_change(NdrWriter& w, const DataChange& change);

}  // namespace vexa32::dcom::da
