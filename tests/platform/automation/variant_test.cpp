#include "platform/automation/variant.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vexa32 {
namespace {

TEST(Variant, KeepsItsExactType) {
  EXPECT_EQ(Variant().vt(), VT_EMPTY);
  EXPECT_EQ(Variant::null().vt(), VT_NULL);
  EXPECT_EQ(Variant(std::int16_t{1}).vt(), VT_I2);
  EXPECT_EQ(Variant(1).vt(), VT_I4);
  EXPECT_EQ(Variant(1.0f).vt(), VT_R4);
  EXPECT_EQ(Variant(1.0).vt(), VT_R8);
  EXPECT_EQ(Variant::date(1.0).vt(), VT_DATE);
  EXPECT_EQ(Variant(true).vt(), VT_BOOL);
  EXPECT_EQ(Variant(true).boolean(), VARIANT_TRUE);
  EXPECT_EQ(Variant("x").vt(), VT_BSTR);
  EXPECT_TRUE(Variant::missing().is_missing());
  EXPECT_TRUE(Variant::nothing().is_nothing());
}

TEST(Variant, EqualityNeedsTypeAndValue) {
  EXPECT_EQ(Variant(std::int16_t{1}), Variant(std::int16_t{1}));
  EXPECT_NE(Variant(std::int16_t{1}), Variant(1));
  EXPECT_NE(Variant(1.0), Variant::date(1.0));
  EXPECT_NE(Variant(""), Variant());
  EXPECT_EQ(Variant(std::nan("")), Variant(std::nan("")));
}

TEST(Variant, ExactAccessorsRefuseOtherTypes) {
  try {
    (void)Variant(1).i2();
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 13);
  }
  EXPECT_THROW((void)Variant(1).bstr(), AutomationError);
  EXPECT_THROW((void)Variant(1).array(), AutomationError);
}

TEST(SafeArray, HonoursItsLowerBound) {
  Variant a = make_array(VT_I4, {Variant(10), Variant(20), Variant(30)});
  const SafeArray& arr = a.array();
  EXPECT_EQ(a.vt(), VT_ARRAY | VT_I4);
  EXPECT_EQ(arr.lower_bound(), 1);
  EXPECT_EQ(arr.upper_bound(), 3);
  EXPECT_EQ(arr.at(1), Variant(10));
  EXPECT_EQ(arr.at(3), Variant(30));
  for (std::int32_t bad : {0, 4, -1}) {
    try {
      (void)arr.at(bad);
      FAIL() << bad;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), 9);
    }
  }
}

TEST(SafeArray, TypedElementsAreConvertedOnStore) {
  SafeArray a(VT_I2, 0, 2);
  EXPECT_EQ(a.at(0), Variant(std::int16_t{0}));  // fresh elements hold the type's zero
  a.set(0, Variant("12"));
  EXPECT_EQ(a.at(0), Variant(std::int16_t{12}));
  EXPECT_THROW(a.set(1, Variant(70000)), AutomationError);
  EXPECT_EQ(a.at(1), Variant(std::int16_t{0}));
  SafeArray any(VT_VARIANT, 1, 1);
  any.set(1, Variant("text"));
  EXPECT_EQ(any.at(1), Variant("text"));
  SafeArray empty(VT_BSTR, 1, 0);
  EXPECT_EQ(empty.upper_bound(), 0);
}

TEST(SafeArray, CopiesDoNotShareWrites) {
  Variant a = make_array(VT_I4, {Variant(1), Variant(2)});
  Variant b = a;
  b.array_mut().set(1, Variant(99));
  EXPECT_EQ(a.array().at(1), Variant(1));
  EXPECT_EQ(b.array().at(1), Variant(99));
  EXPECT_NE(a, b);
}

TEST(Variant, DebugStringNamesTypeAndValue) {
  EXPECT_EQ(Variant(std::int16_t{250}).debug_string(), "VT_I2 250");
  EXPECT_EQ(Variant("x").debug_string(), "VT_BSTR \"x\"");
  EXPECT_EQ(make_array(VT_I4, {Variant(1)}).debug_string(), "VT_ARRAY|VT_I4(1 To 1) {VT_I4 1}");
}

}  // namespace
}  // namespace vexa32
