#include "platform/container/property_bag.h"

#include <gtest/gtest.h>

namespace vexa32 {
namespace {

TEST(PropertyBag, MissingKeysGiveTheDefault) {
  MemoryPropertyBag bag;
  EXPECT_EQ(bag.ReadProperty("UpdateRate", Variant(std::int16_t{1000})), Variant(std::int16_t{1000}));
}

TEST(PropertyBag, KeysMatchWithoutRegardToCaseAndAreStoredInLowerCase) {
  MemoryPropertyBag bag;
  bag.WriteProperty("UpdateRate", Variant(std::int16_t{100}), Variant(std::int16_t{1000}));
  EXPECT_EQ(bag.ReadProperty("UPDATERATE", Variant()), Variant(std::int16_t{100}));
  ASSERT_EQ(bag.size(), 1u);
  EXPECT_EQ(bag.entries()[0].first, "updaterate");
}

TEST(PropertyBag, ValuesEqualToTheirDefaultAreNotStored) {
  MemoryPropertyBag bag;
  bag.WriteProperty("svrname", Variant(""), Variant(""));
  bag.WriteProperty("delimit", Variant(","), Variant(","));
  EXPECT_EQ(bag.size(), 0u);
  bag.WriteProperty("delimit", Variant(";"), Variant(","));
  EXPECT_TRUE(bag.contains("Delimit"));
  // Writing the default again drops the stale value, so it reads back as the default.
  bag.WriteProperty("delimit", Variant(","), Variant(","));
  EXPECT_FALSE(bag.contains("delimit"));
}

TEST(PropertyBag, AValueOfAnotherTypeThanItsDefaultIsKept) {
  MemoryPropertyBag bag;
  const Variant def("");
  for (const Variant& v : {Variant(), Variant::null(), Variant(5), Variant::date(1.5), Variant(std::string())}) {
    bag.WriteProperty("nodname", v, def);
    EXPECT_EQ(bag.ReadProperty("nodname", def), v) << v.debug_string();
  }
}

TEST(PropertyBag, InjectedFailureHitsTheNamedKeyOnce) {
  MemoryPropertyBag bag;
  bag.fail_next("itm5");
  EXPECT_NO_THROW(bag.ReadProperty("itm4", Variant("")));
  EXPECT_THROW(bag.ReadProperty("ITM5", Variant("")), AutomationError);
  EXPECT_NO_THROW(bag.ReadProperty("itm5", Variant("")));
  EXPECT_EQ(bag.reads, (std::vector<std::string>{"itm4", "ITM5", "itm5"}));
}

}  // namespace
}  // namespace vexa32
