// Groups, items, data changes and writes.

#include "sim_fixture.h"

namespace vexa32::opcda::testing {
namespace {

class Group : public SimTest {
 protected:
  void SetUp() override {
    server = connect();
    group = server->get_OPCGroups()->Add(Variant("Group1"));
    items = group->get_OPCItems();
    record(*group);
  }

  // Adds the IDs with client handles 0, 1, 2, ...; returns the server handles.
  std::vector<std::int32_t> add(const std::vector<std::string>& ids, std::vector<std::int32_t>* errors = nullptr) {
    std::vector<Variant> vid, vch;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      vid.emplace_back(ids[i]);
      vch.emplace_back(static_cast<std::int32_t>(i));
    }
    Variant sh, err;
    items->AddItems(static_cast<std::int32_t>(ids.size()), one_based(VT_BSTR, vid), one_based(VT_I4, vch), sh, err);
    if (errors) *errors = ints(err);
    return ints(sh);
  }

  void subscribe(std::int32_t rate = 100) {
    group->put_UpdateRate(rate);
    group->put_IsSubscribed(true);
  }

  std::shared_ptr<OPCServer> server;
  std::shared_ptr<OPCGroup> group;
  std::shared_ptr<OPCItems> items;
};

TEST_F(Group, AddItemsGivesHandlesAndPerItemErrors) {
  std::vector<std::int32_t> errors;
  auto handles =
      add({"SimulatePLC.Sine", "", "No.Such.Item", "  ", "SimulatePLC..Sine", "Line 1.Area B.Temperature"}, &errors);
  ASSERT_EQ(handles.size(), 6u);
  EXPECT_NE(handles[0], 0);
  EXPECT_EQ(errors[0], 0);
  EXPECT_EQ(errors[1], hr::OPC_E_INVALIDITEMID);
  EXPECT_EQ(errors[2], hr::OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[3], hr::OPC_E_INVALIDITEMID);
  EXPECT_EQ(errors[4], hr::OPC_E_INVALIDITEMID);
  EXPECT_EQ(errors[5], 0);
  for (int i : {1, 2, 3, 4}) EXPECT_EQ(handles[static_cast<std::size_t>(i)], 0);
  EXPECT_NE(handles[0], handles[5]);
  EXPECT_EQ(items->get_Count(), 2);
  EXPECT_EQ(sim->item_count(), 2u);
}

TEST_F(Group, AddItemsWithShortArraysFailsAndAddsNothing) {
  Variant sh, err;
  EXPECT_THROW(items->AddItems(3, one_based(VT_BSTR, {Variant("SimulatePLC.Sine")}),
                               one_based(VT_I4, {Variant(0), Variant(1), Variant(2)}), sh, err),
               AutomationError);
  EXPECT_EQ(items->get_Count(), 0);
  EXPECT_TRUE(sh.is_empty());
}

TEST_F(Group, AddItemGivesNothingForAnUnknownId) {
  EXPECT_EQ(items->AddItem("No.Such.Item", 1), nullptr);
  auto item = items->AddItem("SimulatePLC.Setpoint", 7);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->get_ClientHandle(), 7);
  EXPECT_EQ(item->get_ItemID(), "SimulatePLC.Setpoint");
  EXPECT_EQ(item->get_CanonicalDataType(), VT_R8);
  EXPECT_EQ(item->get_AccessRights(), OPC_READABLE | OPC_WRITEABLE);
  EXPECT_EQ(item->get_Value(), Variant(50.0));
  EXPECT_EQ(item->get_Quality(), OPC_QUALITY_GOOD);
}

TEST_F(Group, RemoveReportsUnknownAndZeroHandlesPerEntry) {
  auto handles = add({"SimulatePLC.Sine", "SimulatePLC.Ramp"});
  Variant err;
  items->Remove(3, one_based(VT_I4, {Variant(handles[0]), Variant(0), Variant(987654)}), err);
  EXPECT_EQ(ints(err), (std::vector<std::int32_t>{0, hr::OPC_E_INVALIDHANDLE, hr::OPC_E_INVALIDHANDLE}));
  EXPECT_EQ(items->get_Count(), 1);
  items->Remove(0, Variant(SafeArray(VT_I4, 1, 0)), err);
  EXPECT_EQ(err.array().size(), 0u);
}

TEST_F(Group, ValidateChecksWithoutAdding) {
  Variant err;
  items->Validate(
      3, one_based(VT_BSTR, {Variant("SimulatePLC.Sine"), Variant("nope"), Variant("SimulatePLC.Text")}), err,
      one_based(VT_I2, {Variant(std::int16_t{VT_BSTR}), Variant(std::int16_t{0}), Variant(std::int16_t{VT_I4})}));
  EXPECT_EQ(ints(err), (std::vector<std::int32_t>{0, hr::OPC_E_UNKNOWNITEMID, hr::OPC_E_BADTYPE}));
  EXPECT_EQ(items->get_Count(), 0);
}

TEST_F(Group, FirstValuesArriveAfterTheCallNotInsideIt) {
  subscribe();
  add({"SimulatePLC.Setpoint", "SimulatePLC.Text"});
  EXPECT_TRUE(callbacks.empty());  // nothing inside AddItems
  pump();
  ASSERT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(callbacks[0].handles, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(callbacks[0].values[0], Variant(50.0));
  EXPECT_EQ(callbacks[0].values[1], Variant("hello"));
  EXPECT_EQ(callbacks[0].qualities[0], OPC_QUALITY_GOOD);
  EXPECT_GT(callbacks[0].stamps[0], 46000.0);
  EXPECT_DOUBLE_EQ(server->get_LastUpdateTime(), server->get_CurrentTime());  // the callback just sent
}

TEST_F(Group, OnlyChangedItemsAreReportedAfterTheFirstCallback) {
  subscribe(100);
  add({"SimulatePLC.Setpoint", "SimulatePLC.Text", "SimulatePLC.ReadOnly"});
  pump(1000);
  ASSERT_EQ(callbacks.size(), 1u);  // static values: one full callback, then silence
  sim->set_value("SimulatePLC.Text", Variant("changed"));
  pump(100);
  ASSERT_EQ(callbacks.size(), 2u);
  EXPECT_EQ(callbacks[1].handles, std::vector<std::int32_t>{1});
  EXPECT_EQ(callbacks[1].values[0], Variant("changed"));
  sim->set_quality("SimulatePLC.ReadOnly", OPC_QUALITY_COMM_FAILURE);
  pump(100);
  ASSERT_EQ(callbacks.size(), 3u);
  EXPECT_EQ(callbacks[2].handles, std::vector<std::int32_t>{2});
  EXPECT_EQ(callbacks[2].qualities[0], OPC_QUALITY_COMM_FAILURE);
}

TEST_F(Group, ChangingSignalsArriveAtTheUpdateRate) {
  subscribe(200);
  add({"SimulatePLC.Sine", "SimulatePLC.Setpoint"});
  pump(1000);
  // The first callback right after subscription, then one per 200 ms for the sine alone.
  ASSERT_EQ(callbacks.size(), 6u);
  for (std::size_t i = 1; i < callbacks.size(); ++i) {
    EXPECT_EQ(callbacks[i].handles, std::vector<std::int32_t>{0});
    EXPECT_NE(callbacks[i].values[0], callbacks[i - 1].values[0]);
  }
}

TEST_F(Group, InactiveOrUnsubscribedGroupsAreSilent) {
  add({"SimulatePLC.Sine"});
  pump(1000);
  EXPECT_TRUE(callbacks.empty());  // never subscribed
  subscribe(100);
  group->put_IsActive(false);
  pump(1000);
  EXPECT_TRUE(callbacks.empty());
  group->put_IsActive(true);
  pump();
  EXPECT_EQ(callbacks.size(), 1u);  // activation reports every item once
}

TEST_F(Group, ItemQualitiesOfTheSimulation) {
  subscribe();
  add({"SimulatePLC.Uncertain", "SimulatePLC.Bad", "SimulatePLC.WriteOnly"});
  pump();
  ASSERT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(callbacks[0].handles, (std::vector<std::int32_t>{0, 1}));  // a write-only item is never read
  EXPECT_EQ(callbacks[0].qualities, (std::vector<std::int32_t>{0x40, 0x18}));
}

TEST_F(Group, SyncWriteConvertsAndRefusesWhatItCannotWrite) {
  auto h = add({"SimulatePLC.Setpoint", "SimulatePLC.ReadOnly", "SimulatePLC.Types.Short", "SimulatePLC.Types.Short",
                "SimulatePLC.Sine"});
  Variant err;
  group->SyncWrite(
      6, one_based(VT_I4, {Variant(h[0]), Variant(h[1]), Variant(h[2]), Variant(h[3]), Variant(0), Variant(h[4])}),
      one_based(VT_VARIANT, {Variant("12.5"), Variant(1), Variant("abc"), Variant(70000), Variant(1), Variant(1.0)}),
      err);
  EXPECT_EQ(ints(err), (std::vector<std::int32_t>{0, hr::OPC_E_BADRIGHTS, hr::OPC_E_BADTYPE, hr::OPC_E_BADTYPE,
                                                  hr::OPC_E_INVALIDHANDLE, hr::OPC_E_BADRIGHTS}));
  EXPECT_EQ(items->GetOPCItem(h[0])->get_Value(), Variant(12.5));  // stored in the canonical type
  EXPECT_EQ(items->GetOPCItem(h[1])->get_Value(), Variant(std::int16_t{42}));
}

TEST_F(Group, AWrittenValueShowsInALaterDataChange) {
  subscribe(100);
  auto h = add({"SimulatePLC.Setpoint"});
  pump();
  Variant err;
  group->SyncWrite(1, one_based(VT_I4, {Variant(h[0])}), one_based(VT_VARIANT, {Variant(77)}), err);
  EXPECT_EQ(callbacks.size(), 1u);
  pump(100);
  ASSERT_EQ(callbacks.size(), 2u);
  EXPECT_EQ(callbacks[1].values[0], Variant(77.0));
}

TEST_F(Group, AsyncWriteCompletesLaterPerItem) {
  auto h = add({"SimulatePLC.Setpoint", "SimulatePLC.ReadOnly"});
  std::vector<std::vector<std::int32_t>> completions;
  std::int32_t tid_seen = 0;
  group->AsyncWriteComplete().connect(
      [&](std::int32_t tid, std::int32_t, const Variant& handles, const Variant& errors) {
        tid_seen = tid;
        completions.push_back(ints(handles));
        completions.push_back(ints(errors));
      });
  Variant err;
  std::int32_t cancel = 0;
  group->AsyncWrite(3, one_based(VT_I4, {Variant(h[0]), Variant(h[1]), Variant(4242)}),
                    one_based(VT_VARIANT, {Variant(1.0), Variant(2), Variant(3)}), err, 9, cancel);
  EXPECT_EQ(ints(err), (std::vector<std::int32_t>{0, 0, hr::OPC_E_INVALIDHANDLE}));
  EXPECT_TRUE(completions.empty());
  pump();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(tid_seen, 9);
  EXPECT_EQ(completions[0], (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(completions[1], (std::vector<std::int32_t>{0, hr::OPC_E_BADRIGHTS}));
}

TEST_F(Group, RequestedDataTypeConvertsDeliveredValues) {
  subscribe();
  Variant sh, err;
  items->AddItems(1, one_based(VT_BSTR, {Variant("SimulatePLC.Setpoint")}), one_based(VT_I4, {Variant(3)}), sh, err,
                  one_based(VT_I2, {Variant(std::int16_t{VT_BSTR})}));
  pump();
  ASSERT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(callbacks[0].values[0], Variant("50"));
}

TEST_F(Group, BackDoorPushesArbitraryEntriesLater) {
  sim->push_data_change({{7, Variant(1), 0xC0, 1.0}, {99, Variant("x"), 0x18, 2.0}}, "Group1");
  EXPECT_TRUE(callbacks.empty());
  pump();
  ASSERT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(callbacks[0].handles, (std::vector<std::int32_t>{7, 99}));
  sim->push_data_change({});
  pump();
  ASSERT_EQ(callbacks.size(), 2u);
  EXPECT_TRUE(callbacks[1].handles.empty());
}

TEST_F(Group, BackDoorRefusesPerItem) {
  auto h = add({"SimulatePLC.Sine"});
  sim->refuse_next("OPCItems.Remove", hr::E_FAIL);
  Variant err;
  items->Remove(1, one_based(VT_I4, {Variant(h[0])}), err);
  EXPECT_EQ(ints(err), std::vector<std::int32_t>{hr::E_FAIL});
  EXPECT_EQ(items->get_Count(), 1);
}

TEST_F(Group, ArraysAHandlerKeepsAreNotFilledAgainUnderIt) {
  subscribe(200);
  add({"SimulatePLC.Sine", "SimulatePLC.Setpoint"});
  std::vector<Variant> kept;
  group->DataChange().connect([&](std::int32_t, std::int32_t, const Variant&, const Variant& v, const Variant&,
                                  const Variant&) { kept.push_back(v); });
  pump(1000);
  ASSERT_EQ(kept.size(), callbacks.size());
  for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i].array().at(1), callbacks[i].values[0]) << i;
}

TEST_F(Group, AHandlerMayRemoveItsGroupDuringTheCallback) {
  subscribe(50);
  add({"SimulatePLC.Sine"});
  group->DataChange().connect(
      [&](std::int32_t, std::int32_t, const Variant&, const Variant&, const Variant&, const Variant&) {
        server->get_OPCGroups()->Remove(Variant("Group1"));
        group.reset();
        items.reset();
        server.reset();
      });
  pump(500);
  EXPECT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Group, ARemovedGroupStopsAndRefusesCalls) {
  subscribe(50);
  add({"SimulatePLC.Sine"});
  pump();
  server->get_OPCGroups()->Remove(Variant("Group1"));
  pump(500);
  EXPECT_EQ(callbacks.size(), 1u);
  EXPECT_THROW(group->get_UpdateRate(), AutomationError);
  EXPECT_THROW(items->get_Count(), AutomationError);
}

}  // namespace
}  // namespace vexa32::opcda::testing
