// The connection of the vexa control: connect, data changes, writes and disconnect.

#include <algorithm>

#include "control/vexa.h"
#include "platform/automation/convert.h"

namespace vexa32 {

VARIANT_BOOL vexa::cnnec() {
  run_connect_sequence();
  // True whatever happened: a host learns the outcome from IsConnect.
  return VARIANT_TRUE;
}

void vexa::run_connect_sequence() {
  last_connect_failure_.clear();
  try {
    // A previous server object is dropped without Disconnect; its last release disconnects it.
    ConnectedOPCServer = opcda::create_opc_server();
    ConnectedOPCServer->Connect(svrname_, nodname_);
    ConnectedGroups = ConnectedOPCServer->get_OPCGroups();
    // A group held from an earlier connection is not in this collection.
    group_added_ = false;
    ConnectedGroups->put_DefaultGroupIsActive(true);
    ConnectedGroups->put_DefaultGroupDeadband(0.0f);
    set_group(ConnectedGroups->Add(Variant(kGroupName)));
    group_added_ = true;
    ConnectedGroup->put_UpdateRate(std::int32_t{update_rate_});
    ConnectedGroup->put_IsSubscribed(true);

    SafeArray ids(VT_BSTR, 1, kSlots), handles(VT_I4, 1, kSlots);
    for (int k = 0; k < kSlots; ++k) {
      ids.raw_elements()[static_cast<std::size_t>(k)] = Variant(itm_[static_cast<std::size_t>(k)]);
      handles.raw_elements()[static_cast<std::size_t>(k)] = Variant(std::int32_t{k});
    }
    ConnectedItems = ConnectedGroup->get_OPCItems();
    ConnectedItems->put_DefaultIsActive(true);
    itemErrors = Variant();
    itemServerHandles = Variant();
    ConnectedItems->AddItems(kSlots, Variant(std::move(ids)), Variant(std::move(handles)), itemServerHandles,
                             itemErrors);
    IsConnect = VARIANT_TRUE;
  } catch (const AutomationError& e) {
    // Swallowed: the steps after the failing one do not run, and IsConnect tells the host.
    last_connect_failure_ = e.what();
  }
}

void vexa::set_group(std::shared_ptr<opcda::OPCGroup> group) {
  if (ConnectedGroup && data_change_cookie_) ConnectedGroup->DataChange().disconnect(data_change_cookie_);
  data_change_cookie_ = 0;
  ConnectedGroup = std::move(group);
  if (!ConnectedGroup) return;
  // The sink is disconnected before the control goes (set_group(nullptr) in the destructor), and
  // a raise under way skips a sink disconnected meanwhile, so it never reaches a dead control.
  data_change_cookie_ = ConnectedGroup->DataChange().connect(
      [this](std::int32_t tid, std::int32_t n, const Variant& h, const Variant& v, const Variant& q, const Variant& t) {
        ConnectedGroup_DataChange(tid, n, h, v, q, t);
      });
}

namespace {

// An entry in other types than the usual ones; false when its handle, time stamp or quality is
// no number, and the entry is then skipped.
bool convert_entry(const Variant& handle, const Variant& stamp, const Variant& quality, std::int32_t& h, DATE& t,
                   std::int32_t& q) {
  try {
    h = to_i4(handle);
    t = to_date(stamp);
    q = to_i4(quality);
    return true;
  } catch (const AutomationError&) {
    return false;
  }
}

}  // namespace

void vexa::ConnectedGroup_DataChange(std::int32_t, std::int32_t num_items, const Variant& client_handles,
                                     const Variant& item_values, const Variant& qualities, const Variant& time_stamps) {
  // A server that sends fewer entries than it announces, or no arrays at all, gets the entries
  // that are really there; nothing outside the tables is touched.
  std::int32_t n = std::max(num_items, 0);
  for (const Variant* a : {&client_handles, &item_values, &qualities, &time_stamps}) {
    n = a->is_array() ? std::min<std::int32_t>(n, static_cast<std::int32_t>(a->array().size())) : 0;
  }
  const Variant* handles = n ? client_handles.array().elements().data() : nullptr;
  const Variant* values = n ? item_values.array().elements().data() : nullptr;
  const Variant* quals = n ? qualities.array().elements().data() : nullptr;
  const Variant* stamps = n ? time_stamps.array().elements().data() : nullptr;
  for (std::int32_t i = 0; i < n; ++i) {
    std::int32_t h, quality;
    DATE stamp;
    if (handles[i].vt() == VT_I4 && stamps[i].vt() == VT_DATE && quals[i].vt() == VT_I4) {
      // What every server sends: no conversion needed.
      h = handles[i].i4();
      stamp = stamps[i].date_value();
      quality = quals[i].i4();
    } else if (!convert_entry(handles[i], stamps[i], quals[i], h, stamp, quality)) {
      continue;
    }
    // A handle outside 0..59 cannot be ours: that entry is skipped, the others are stored.
    if (h < 0 || h >= kSlots) continue;
    const auto slot = static_cast<std::size_t>(h);
    itemValues[slot] = values[i];
    itemTimeStamps[slot] = stamp;
    itemQualities[slot] = quality;
  }
  // Last step: the host may call anything, discnn included, from its handler.
  events_.fire(source_interface().members().front().dispid);
}

VARIANT_BOOL vexa::opcWrt(std::int16_t itm_no, const Variant& vl) {
  if (!IsConnect) return VARIANT_FALSE;
  try {
    if (!ConnectedGroup) throw object_not_set_error();
    const std::int32_t handle = to_i4(itemServerHandles.array().at(std::int32_t{itm_no} + 1));
    Variant errors;
    ConnectedGroup->SyncWrite(1, make_array(VT_I4, {Variant(handle)}), make_array(VT_VARIANT, {vl}), errors);
    return VARIANT_TRUE;
  } catch (const AutomationError&) {
    return VARIANT_FALSE;
  }
}

VARIANT_BOOL vexa::discnn() {
  run_disconnect_sequence(false);
  return VARIANT_TRUE;
}

void vexa::run_disconnect_sequence(bool swallow_group_failure) {
  // 1. The items, every failure ignored.
  if (ConnectedItems) {
    try {
      std::vector<Variant> handles;
      if (itemServerHandles.is_array()) {
        for (const auto& h : itemServerHandles.array().elements()) {
          if (to_i4(h) != 0) handles.push_back(h);
        }
      }
      Variant errors;
      ConnectedItems->Remove(static_cast<std::int32_t>(handles.size()), make_array(VT_I4, handles), errors);
    } catch (const AutomationError&) {
    }
    ConnectedItems.reset();
  }
  // 2. The group, with no trap: discnn hands its failure to the caller; the button and the
  // destructor have none, so they go on and leave nothing connected.
  // A connect that failed before its group was added left nothing to remove: that removal is
  // skipped rather than failing every later discnn and leaving the server connected.
  if (ConnectedGroups) {
    if (group_added_) {
      try {
        ConnectedGroups->Remove(Variant(kGroupName));
      } catch (const AutomationError&) {
        if (!swallow_group_failure) throw;
      }
    }
    ConnectedGroups.reset();
    set_group(nullptr);
    group_added_ = false;
  }
  // 3. The server, every failure ignored.
  if (ConnectedOPCServer) {
    try {
      ConnectedOPCServer->Disconnect();
    } catch (const AutomationError&) {
    }
    ConnectedOPCServer.reset();
  }
  IsConnect = VARIANT_FALSE;
}

}  // namespace vexa32
