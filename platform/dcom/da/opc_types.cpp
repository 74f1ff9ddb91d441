#include "platform/dcom/da/opc_types.h"

#include <string>

#include "platform/dcom/errors.h"
#include "platform/dcom/oaut.h"

namespace vexa32::dcom::da {
namespace {

// hClient, ftTimeStamp, wQuality, wReserved and the VARIANT's pointer.
constexpr std::size_t kItemStateSize = 20;

void expect_count(std::uint32_t got, std::uint32_t count, const char* what) {
  if (got != count)
    throw NdrError(std::string(what) + " for " + std::to_string(got) + " items where " + std::to_string(count) +
                   " were asked for");
}

// A state's value, decoded straight into the state as the vector makes it (a text is not moved
// again on the way).
struct ValueAt {
  NdrReader& r;
  bool present;
  operator Variant() const { return present ? read_variant_body(r) : Variant(); }
};

}  // namespace

ReadAnswer read_item_states_answer(NdrReader& r, std::uint32_t count) {
  ReadAnswer out;
  if (r.unique()) {
    expect_count(r.conformance(kItemStateSize), count, "item states");
    // The fixed part of every state in one block, checked once; the values follow it, deferred,
    // in the same order, so each state is made whole as its value is read.
    const char* block = r.bytes(std::size_t{count} * kItemStateSize).data();
    out.states.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i, block += kItemStateSize) {
      const bool has_value = NdrReader::little<std::uint32_t>(block + 16) != 0;
      out.states.emplace_back(NdrReader::little<std::uint32_t>(block),
                              NdrReader::little<std::uint32_t>(block + 4) |
                                  std::uint64_t{NdrReader::little<std::uint32_t>(block + 8)} << 32,
                              NdrReader::little<std::uint16_t>(block + 12), ValueAt{r, has_value});
    }
  }
  if (r.unique()) {
    expect_count(r.conformance(4), count, "errors");
    const char* errors = r.bytes(std::size_t{count} * 4).data();
    out.errors.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) out.errors.push_back(NdrReader::little<std::uint32_t>(errors + 4 * i));
  }
  out.result = r.hresult();
  r.expect_end();
  return out;
}

void write_item_states_answer(NdrWriter& w, const ReadAnswer& answer) {
  w.unique(!answer.states.empty());
  if (!answer.states.empty()) {
    w.conformance(static_cast<std::uint32_t>(answer.states.size()));
    for (const ItemState& s : answer.states) {
      w.u32(s.client_handle);
      w.filetime(s.time);
      w.u16(s.quality);
      w.u16(0);
      w.unique(true);
    }
    for (const ItemState& s : answer.states) write_variant_body(w, s.value);
  }
  w.unique(!answer.errors.empty());
  if (!answer.errors.empty()) {
    w.conformance(static_cast<std::uint32_t>(answer.errors.size()));
    for (std::uint32_t e : answer.errors) w.hresult(e);
  }
  w.hresult(answer.result);
}

DataChange read_data_change(NdrReader& r) {
  DataChange out;
  out.transaction = r.u32();
  out.group = r.u32();
  out.master_quality = r.hresult();
  out.master_error = r.hresult();
  const std::uint32_t count = r.u32();
  expect_count(r.conformance(4), count, "client handles");
  std::vector<std::uint32_t> handles(count);
  for (auto& h : handles) h = r.u32();
  // The VARIANTs: a conformant array of wire pointers, each value deferred behind it.
  expect_count(r.conformance(4), count, "values");
  std::vector<bool> present(count);
  for (std::uint32_t i = 0; i < count; ++i) present[i] = r.unique();
  std::vector<Variant> values(count);
  for (std::uint32_t i = 0; i < count; ++i)
    if (present[i]) values[i] = read_variant_body(r);
  expect_count(r.conformance(2), count, "qualities");
  std::vector<std::uint16_t> qualities(count);
  for (auto& q : qualities) q = r.u16();
  expect_count(r.conformance(8), count, "time stamps");
  std::vector<std::uint64_t> times(count);
  for (auto& t : times) t = r.filetime();
  expect_count(r.conformance(4), count, "errors");
  out.errors.resize(count);
  for (auto& e : out.errors) e = r.hresult();
  r.expect_end();
  out.states.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i)
    out.states.emplace_back(handles[i], times[i], qualities[i], std::move(values[i]));
  return out;
}

void write_data_change(NdrWriter& w, const DataChange& c) {
  const auto count = static_cast<std::uint32_t>(c.states.size());
  w.u32(c.transaction);
  w.u32(c.group);
  w.hresult(c.master_quality);
  w.hresult(c.master_error);
  w.u32(count);
  w.conformance(count);
  for (const ItemState& s : c.states) w.u32(s.client_handle);
  w.conformance(count);
  for (std::uint32_t i = 0; i < count; ++i) w.unique(true);
  for (const ItemState& s : c.states) write_variant_body(w, s.value);
  w.conformance(count);
  for (const ItemState& s : c.states) w.u16(s.quality);
  w.conformance(count);
  for (const ItemState& s : c.states) w.filetime(s.time);
  w.conformance(count);
  for (std::uint32_t i = 0; i < count; ++i) w.hresult(i < c.errors.size() ? c.errors[i] : 0);
}

}  // namespace vexa32::dcom::da
