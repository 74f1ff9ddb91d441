// The group and item wrappers.

#include "opc/error_report.h"
#include "wrapper_fixture.h"

namespace vexa32::testing {
namespace {

class GroupWrapper : public WrapperTest {
 protected:
  void SetUp() override { connect_group(); }
};

TEST_F(GroupWrapper, TheFirstItemGetsIndexOneAsClientHandleAndKey) {
  EXPECT_EQ(add_item("SimulatePLC.Setpoint"), "Item 1");
  auto& items = group->GetOPCGroupItemsCollection();
  ASSERT_TRUE(items.contains(" 1"));
  EXPECT_EQ(items.item(" 1")->GetItemIndex(), Variant(1));
  EXPECT_EQ(items.item(" 1")->GetItemID(), Variant("SimulatePLC.Setpoint"));
  sim->push_data_change({{1, Variant(3.25), 0xC0, 2.0}});
  pump();
  EXPECT_EQ(items.item(" 1")->GetItemValue(0), Variant(3.25));  // the client handle was 1
}

TEST_F(GroupWrapper, ItemIndexesAreReusedAfterARemoval) {
  EXPECT_EQ(add_item("SimulatePLC.Sine"), "Item 1");
  EXPECT_EQ(add_item("SimulatePLC.Ramp"), "Item 2");
  EXPECT_EQ(add_item("SimulatePLC.Counter"), "Item 3");
  std::int32_t error = 12345;
  EXPECT_EQ(group->RemoveOPCItem("Item 2", error), Variant(true));
  EXPECT_EQ(error, 12345);
  EXPECT_EQ(add_item("SimulatePLC.Square"), "Item 2");
  EXPECT_EQ(add_item("SimulatePLC.Text"), "Item 4");
  EXPECT_EQ(sim->item_count(), 4u);
}

// With every 16-bit index taken an add fails (false), where the index once wrapped to -32768.
TEST_F(GroupWrapper, AddsFailWhenEverySixteenBitIndexIsTaken) {
  auto& items = group->GetOPCGroupItemsCollection();
  auto& groups = server->GetOPCServerGroupCollection();
  for (int i = 1; i <= 32767; ++i) {
    items.add(signed_decimal(i), std::make_shared<OPCItemClass>());
    if (i > 1) groups.add("Group" + signed_decimal(i) + signed_decimal(0), std::make_shared<OPCGroupClass>());
  }
  std::string key = "unchanged", name = "H";
  EXPECT_EQ(group->AddOPCItem("SimulatePLC.Sine", 0, 1, key), Variant(false));
  EXPECT_EQ(key, "unchanged");
  EXPECT_EQ(sim->item_count(), 0u);
  EXPECT_EQ(server->AddOPCGroup(name, 100, 0.0f, true, key), Variant(false));
  EXPECT_EQ(key, "unchanged");
  items.remove(signed_decimal(32767));
  EXPECT_EQ(add_item("SimulatePLC.Sine"), "Item 32767");
}

TEST_F(GroupWrapper, AnItemTheServerRejectsMakesNoWrapper) {
  std::string key = "unchanged";
  EXPECT_EQ(group->AddOPCItem("No.Such.Item", 0, 1, key), Variant(false));
  EXPECT_EQ(key, "unchanged");
  EXPECT_EQ(group->GetOPCGroupItemsCollection().count(), 0u);
  sim->fail_next("OPCItems.AddItem", hr::E_FAIL);
  EXPECT_EQ(group->AddOPCItem("SimulatePLC.Sine", 0, 1, key), Variant(false));
  EXPECT_EQ(group->GetOPCGroupItemsCollection().count(), 0u);
}

TEST_F(GroupWrapper, ARefusedRemovalKeepsTheWrapperAndGivesTheServersCode) {
  add_item("SimulatePLC.Sine");
  sim->refuse_next("OPCItems.Remove", hr::OPC_E_INVALIDHANDLE);
  std::int32_t error = 0;
  EXPECT_EQ(group->RemoveOPCItem("Item 1", error), Variant(false));
  EXPECT_EQ(error, hr::OPC_E_INVALIDHANDLE);
  EXPECT_TRUE(group->GetOPCGroupItemsCollection().contains(" 1"));
  EXPECT_EQ(sim->item_count(), 1u);
}

TEST_F(GroupWrapper, RemovalKeysAreParsedFromTheFirstBlank) {
  add_item("SimulatePLC.Sine");
  std::int32_t error = 0;
  EXPECT_EQ(group->RemoveOPCItem("Item1", error), Variant(false));      // no blank
  EXPECT_EQ(group->RemoveOPCItem("Item 9", error), Variant(false));     // no such key
  EXPECT_EQ(group->RemoveOPCItem("Anything 1", error), Variant(true));  // only the part from the blank counts
  EXPECT_EQ(error, 0);
}

TEST_F(GroupWrapper, ValidateAddsNothing) {
  std::int32_t error = 0;
  EXPECT_EQ(group->ValidateOPCItem("SimulatePLC.Sine", VT_R8, 1, error), Variant(true));
  EXPECT_EQ(group->ValidateOPCItem("No.Such", 0, 1, error), Variant(false));
  EXPECT_EQ(error, hr::OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(group->ValidateOPCItem("SimulatePLC.Text", VT_I4, 1, error), Variant(false));
  EXPECT_EQ(error, hr::OPC_E_BADTYPE);
  EXPECT_EQ(sim->item_count(), 0u);
}

TEST_F(GroupWrapper, PropertiesAndItemDefaults) {
  EXPECT_EQ(group->SetGroupUpdateRate(500), Variant(true));
  EXPECT_EQ(group->SetGroupDeadBand(2.5f), Variant(true));
  EXPECT_EQ(group->SetOPCItemsDefaultDataType(VT_BSTR), Variant(true));
  EXPECT_EQ(group->SetOPCItemsDefaultActive(0), Variant(true));
  std::int32_t rate = 0;
  float deadband = 0;
  std::int16_t type = 0;
  bool active = true;
  group->GetGroupUpdateRate(rate);
  group->GetGroupDeadBand(deadband);
  group->GetOPCItemsDefaultDataType(type);
  group->GetOPCItemsDefaultActive(active);
  EXPECT_EQ(rate, 500);
  EXPECT_EQ(deadband, 2.5f);
  EXPECT_EQ(type, VT_BSTR);
  EXPECT_FALSE(active);
  EXPECT_EQ(group->SetGroupDeadBand(-1.0f), Variant(false));
  EXPECT_TRUE(box->shown.empty());  // silent
}

TEST_F(GroupWrapper, OnlyAFailedActiveStateChangeIsReported) {
  EXPECT_EQ(group->SetGroupActiveState(0), Variant(true));
  bool active = true;
  group->GetGroupActiveState(active);
  EXPECT_FALSE(active);
  sim->fail_next("OPCGroup.put_IsActive", hr::OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(group->SetGroupActiveState(5), Variant(false));
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_EQ(box->shown[0].title, "OPC Function Error");
  EXPECT_EQ(box->shown[0].text,
            "The OPC function 'Group Active State' has returned an error of -1073479673 or Hex 0xC0040007");
}

TEST_F(GroupWrapper, DataChangesReachTheirItemWrappersOnly) {
  add_item("SimulatePLC.Setpoint");
  add_item("SimulatePLC.Text");
  auto& items = group->GetOPCGroupItemsCollection();
  sim->push_data_change({{2, Variant("x"), 0x40, 3.0}, {77, Variant(1), 0xC0, 4.0}, {1, Variant(9.0), 0x18, 5.0}});
  pump();
  EXPECT_EQ(items.item(" 2")->GetItemValue(0), Variant("x"));
  EXPECT_EQ(items.item(" 2")->GetItemQuality(0), Variant(0x40));
  EXPECT_EQ(items.item(" 1")->GetItemValue(0), Variant(9.0));
  EXPECT_EQ(items.item(" 1")->GetItemTimeStamp(0), Variant::date(5.0));
}

TEST_F(GroupWrapper, LiveDataFlowsThroughTheSubscription) {
  add_item("SimulatePLC.Setpoint");
  pump();
  EXPECT_EQ(group->GetOPCGroupItemsCollection().item(" 1")->GetItemValue(0), Variant(50.0));
}

TEST_F(GroupWrapper, AFailedAsyncWriteSetsQualityZeroAndKeepsTheValue) {
  add_item("SimulatePLC.ReadOnly");
  add_item("SimulatePLC.Setpoint");
  pump();
  auto& items = group->GetOPCGroupItemsCollection();
  OPCItemClass* readonly = items.item(" 1").get();
  OPCItemClass* setpoint = items.item(" 2").get();
  EXPECT_EQ(readonly->GetItemQuality(0), Variant(0xC0));
  EXPECT_EQ(group->AsyncWriteOPCItem(readonly, Variant(5)), Variant(true));
  EXPECT_EQ(group->AsyncWriteOPCItem(setpoint, Variant(60)), Variant(true));
  pump();
  EXPECT_EQ(readonly->GetItemQuality(0), Variant(0));
  EXPECT_EQ(readonly->GetItemValue(0), Variant(std::int16_t{42}));
  EXPECT_EQ(setpoint->GetItemQuality(0), Variant(0xC0));  // a write that succeeded keeps its quality
  EXPECT_EQ(group->AsyncWriteOPCItem(nullptr, Variant(1)), Variant(false));
}

TEST_F(GroupWrapper, AWriteCompletionForAnUnknownHandleStopsThereWithoutHarm) {
  add_item("SimulatePLC.Setpoint");
  add_item("SimulatePLC.Text");
  auto& items = group->GetOPCGroupItemsCollection();
  group->OPCGroupObj_AsyncWriteComplete(
      1, 3, make_array(VT_I4, {Variant(1), Variant(99), Variant(2)}),
      make_array(VT_I4, {Variant(hr::E_FAIL), Variant(hr::E_FAIL), Variant(hr::E_FAIL)}));
  EXPECT_EQ(items.item(" 1")->GetItemQuality(0), Variant(0));
  items.item(" 2")->SetItemQuality(0xC0);
  EXPECT_EQ(items.item(" 2")->GetItemQuality(0), Variant(0xC0));  // after the unknown handle: unhandled
  // Short arrays end the handling the same way.
  group->OPCGroupObj_AsyncWriteComplete(1, 5, make_array(VT_I4, {Variant(2)}), make_array(VT_I4, {Variant(1)}));
  EXPECT_EQ(items.item(" 2")->GetItemQuality(0), Variant(0));
}

TEST_F(GroupWrapper, MalformedDataChangesAreSkippedEntryByEntry) {
  add_item("SimulatePLC.Setpoint");
  group->OPCGroupObj_DataChange(
      0, 3, make_array(VT_VARIANT, {Variant("x"), Variant(1)}), make_array(VT_VARIANT, {Variant(1), Variant(2)}),
      make_array(VT_I4, {Variant(0xC0), Variant(0xC0)}), make_array(VT_DATE, {Variant::date(1), Variant::date(2)}));
  EXPECT_EQ(group->GetOPCGroupItemsCollection().item(" 1")->GetItemValue(0), Variant(2));
}

class ItemWrapper : public GroupWrapper {};

TEST_F(ItemWrapper, BeforeAnyDataTheStoredCopyIsEmpty) {
  add_item("SimulatePLC.Setpoint", VT_R4);
  auto item = group->GetOPCGroupItemsCollection().item(" 1");
  EXPECT_EQ(item->GetItemValue(0), Variant());
  EXPECT_EQ(item->GetItemQuality(0), Variant(0));
  EXPECT_EQ(item->GetItemTimeStamp(0), Variant::date(0));
  EXPECT_EQ(item->GetItemDataType(0), Variant(std::int16_t{VT_R4}));
}

TEST_F(ItemWrapper, ModeOneReadsTheLiveItemAnyOtherModeTheCopy) {
  add_item("SimulatePLC.Setpoint");
  auto item = group->GetOPCGroupItemsCollection().item(" 1");
  item->UpdateOPCItemData(Variant("stored"), 0x18, 7.0);
  for (std::int16_t mode : {0, 2, -1, 32767}) {
    EXPECT_EQ(item->GetItemValue(mode), Variant("stored")) << mode;
    EXPECT_EQ(item->GetItemQuality(mode), Variant(0x18)) << mode;
    EXPECT_EQ(item->GetItemTimeStamp(mode), Variant::date(7.0)) << mode;
  }
  EXPECT_EQ(item->GetItemValue(1), Variant(50.0));
  EXPECT_EQ(item->GetItemQuality(1), Variant(0xC0));
  EXPECT_EQ(item->GetItemTimeStamp(1).vt(), VT_DATE);
  EXPECT_EQ(item->GetItemDataType(1), Variant(std::int16_t{0}));
  EXPECT_EQ(item->GetItemCanonicalType(), Variant(std::int16_t{VT_R8}));
  EXPECT_NE(to_i4(item->GetItemServerHandle()), 0);
  EXPECT_EQ(item->GetItemActiveState(), Variant(true));
  EXPECT_EQ(item->SetItemActiveState(false), Variant());
  EXPECT_EQ(item->GetItemActiveState(), Variant(false));
}

TEST_F(ItemWrapper, AFailingLiveReadGivesAnEmptyVariant) {
  add_item("SimulatePLC.WriteOnly");
  auto item = group->GetOPCGroupItemsCollection().item(" 1");
  EXPECT_EQ(item->GetItemValue(1), Variant());  // not 0, not false
  sim->fail_next("OPCItem.get_CanonicalDataType", hr::E_FAIL);
  EXPECT_EQ(item->GetItemCanonicalType(), Variant());
  server->DisconnectOPCServer();
  EXPECT_EQ(item->GetItemServerHandle(), Variant());
  EXPECT_EQ(item->GetItemQuality(1), Variant());
  EXPECT_EQ(item->SetItemActiveState(true), Variant());
  OPCItemClass unset;
  EXPECT_EQ(unset.GetItemValue(1), Variant());
}

}  // namespace
}  // namespace vexa32::testing
