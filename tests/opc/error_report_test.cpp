// The error report, the signed decimal form and the keyed collection the wrappers share.

#include "opc/error_report.h"

#include <gtest/gtest.h>

#include "opc/keyed_collection.h"
#include "platform/container/services.h"

namespace vexa32 {
namespace {

TEST(ErrorReport, TextsAreExact) {
  struct {
    std::int32_t code;
    const char* text;
  } const cases[] = {
      {-1073479673, "The OPC function 'F' has returned an error of -1073479673 or Hex 0xC0040007"},
      {5, "The OPC function 'F' has returned an error of  5 or Hex 0x5"},
      {0, "The OPC function 'F' has returned an error of  0 or Hex 0x0"},
      {-1, "The OPC function 'F' has returned an error of -1 or Hex 0xFFFFFFFF"},
      {255, "The OPC function 'F' has returned an error of  255 or Hex 0xFF"},
      {INT32_MIN, "The OPC function 'F' has returned an error of -2147483648 or Hex 0x80000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(opc_error_text("F", c.code), c.text);
}

TEST(ErrorReport, ShowsOneBoxTitledOpcFunctionError) {
  auto box = std::make_shared<RecordingMessageBox>();
  ScopedServices services(box);
  DisplayOPC_COM_ErrorValue("Group Active State", -1073479673);
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_EQ(box->shown[0].title, "OPC Function Error");
  EXPECT_EQ(box->shown[0].text,
            "The OPC function 'Group Active State' has returned an error of -1073479673 or Hex 0xC0040007");
}

TEST(SignedDecimal, BlankBeforeZeroAndPositive) {
  EXPECT_EQ(signed_decimal(1), " 1");
  EXPECT_EQ(signed_decimal(0), " 0");
  EXPECT_EQ(signed_decimal(-7), "-7");
  EXPECT_EQ("Group" + signed_decimal(1) + signed_decimal(0), "Group 1 0");
}

TEST(KeyedCollection, AddLookUpRemoveInInsertionOrder) {
  KeyedCollection<int> c;
  c.add(" 2", std::make_shared<int>(2));
  c.add(" 1", std::make_shared<int>(1));
  c.add(" 3", std::make_shared<int>(3));
  EXPECT_EQ(*c.item(" 1"), 1);
  EXPECT_EQ(c.count(), 3u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : c) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{" 2", " 1", " 3"}));
  c.remove(" 1");
  EXPECT_FALSE(c.contains(" 1"));
  try {
    c.item(" 1");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 5);
  }
  EXPECT_THROW(c.remove(" 1"), AutomationError);
  try {
    c.add(" 2", std::make_shared<int>(9));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 457);
  }
  c.remove_all_last_first();
  EXPECT_TRUE(c.empty());
}

}  // namespace
}  // namespace vexa32
