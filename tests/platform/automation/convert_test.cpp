#include "platform/automation/convert.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/automation/date.h"
#include "test_names.h"

namespace vexa32 {
namespace {

// A conversion and what it must give: a value, or the run-time error number.
struct Case {
  const char* label;
  Variant from;
  VarType to;
  Variant expected;  // ignored when error != 0
  int error = 0;
};

class ConversionTable : public ::testing::TestWithParam<Case> {};

TEST_P(ConversionTable, ConvertsOrFailsAsTheRuntimeDoes) {
  const Case& c = GetParam();
  if (c.error) {
    try {
      Variant got = change_type(c.from, c.to);
      FAIL() << c.label << ": expected error " << c.error << ", got " << got.debug_string();
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), c.error) << c.label;
    }
  } else {
    Variant got = change_type(c.from, c.to);
    EXPECT_EQ(got, c.expected) << c.label << ": got " << got.debug_string() << ", want " << c.expected.debug_string();
  }
}

const std::int16_t I2_MAX = 32767, I2_MIN = -32768;

INSTANTIATE_TEST_SUITE_P(
    ToI2, ConversionTable,
    ::testing::Values(
        Case{"numeric text", Variant("250"), VT_I2, Variant(std::int16_t{250})},
        Case{"text with blanks", Variant(" 7 "), VT_I2, Variant(std::int16_t{7})},
        Case{"negative text", Variant("-12"), VT_I2, Variant(std::int16_t{-12})},
        Case{"thousands separator", Variant("1,000"), VT_I2, Variant(std::int16_t{1000})},
        Case{"fraction text rounds to even", Variant("2.5"), VT_I2, Variant(std::int16_t{2})},
        Case{"2.5 rounds down to even", Variant(2.5), VT_I2, Variant(std::int16_t{2})},
        Case{"3.5 rounds up to even", Variant(3.5), VT_I2, Variant(std::int16_t{4})},
        Case{"-2.5 rounds to -2", Variant(-2.5), VT_I2, Variant(std::int16_t{-2})},
        Case{"-3.5 rounds to -4", Variant(-3.5), VT_I2, Variant(std::int16_t{-4})},
        Case{"2.6 rounds to nearest", Variant(2.6), VT_I2, Variant(std::int16_t{3})},
        Case{"single 1.5", Variant(1.5f), VT_I2, Variant(std::int16_t{2})},
        Case{"upper bound", Variant(32767), VT_I2, Variant(I2_MAX)},
        Case{"lower bound", Variant(-32768), VT_I2, Variant(I2_MIN)},
        Case{"one past upper", Variant(32768), VT_I2, {}, 6}, Case{"40000 text", Variant("40000"), VT_I2, {}, 6},
        Case{"32767.5 rounds past the bound", Variant(32767.5), VT_I2, {}, 6},
        Case{"-32768.5 rounds to even inside", Variant(-32768.5), VT_I2, Variant(I2_MIN)},
        Case{"NaN overflows", Variant(std::nan("")), VT_I2, {}, 6}, Case{"letters", Variant("abc"), VT_I2, {}, 13},
        Case{"empty text", Variant(""), VT_I2, {}, 13}, Case{"text True is no number", Variant("True"), VT_I2, {}, 13},
        Case{"misplaced separator", Variant("1,"), VT_I2, {}, 13}, Case{"Null", Variant::null(), VT_I2, {}, 94},
        Case{"Empty is zero", Variant(), VT_I2, Variant(std::int16_t{0})},
        Case{"True is -1", Variant(true), VT_I2, Variant(std::int16_t{-1})},
        Case{"hex literal", Variant("&H10"), VT_I2, Variant(std::int16_t{16})},
        Case{"hex literal as 16-bit pattern", Variant("&HFFFF"), VT_I2, Variant(std::int16_t{-1})},
        Case{"exponent", Variant("1.5e2"), VT_I2, Variant(std::int16_t{150})},
        Case{"error value", Variant::error(5), VT_I2, {}, 13},
        Case{"array", make_array(VT_I4, {Variant(1)}), VT_I2, {}, 13}),
    ::vexa32::testing::LabelName());

INSTANTIATE_TEST_SUITE_P(
    ToOtherTypes, ConversionTable,
    ::testing::Values(Case{"I4 from text", Variant("2147483647"), VT_I4, Variant(2147483647)},
                      Case{"I4 overflow", Variant(2147483648.0), VT_I4, {}, 6},
                      Case{"I4 from 0.5 is 0", Variant(0.5), VT_I4, Variant(0)},
                      Case{"I4 from 1.5 is 2", Variant(1.5), VT_I4, Variant(2)},
                      Case{"UI1 from -1 overflows", Variant(-1), VT_UI1, {}, 6},
                      Case{"UI1 from True is 255", Variant(true), VT_UI1, Variant(std::uint8_t{255})},
                      Case{"R4 from huge R8 overflows", Variant(1e300), VT_R4, {}, 6},
                      Case{"R8 from text", Variant("0.1"), VT_R8, Variant(0.1)},
                      Case{"R8 from huge text overflows", Variant("1e400"), VT_R8, {}, 6},
                      Case{"R8 from date", Variant::date(1.5), VT_R8, Variant(1.5)},
                      Case{"BOOL from -1", Variant(std::int16_t{-1}), VT_BOOL, Variant(true)},
                      Case{"BOOL from 0", Variant(0), VT_BOOL, Variant(false)},
                      Case{"BOOL from 0.4 is true", Variant(0.4), VT_BOOL, Variant(true)},
                      Case{"BOOL from text true", Variant(" true "), VT_BOOL, Variant(true)},
                      Case{"BOOL from text False", Variant("False"), VT_BOOL, Variant(false)},
                      Case{"BOOL from numeric text", Variant("2"), VT_BOOL, Variant(true)},
                      Case{"BOOL from word", Variant("yes"), VT_BOOL, {}, 13},
                      Case{"BOOL from Null", Variant::null(), VT_BOOL, {}, 94},
                      Case{"BSTR from True", Variant(true), VT_BSTR, Variant("True")},
                      Case{"BSTR from False", Variant(false), VT_BSTR, Variant("False")},
                      Case{"BSTR from I2", Variant(std::int16_t{-5}), VT_BSTR, Variant("-5")},
                      Case{"BSTR from R8", Variant(2.5), VT_BSTR, Variant("2.5")},
                      Case{"BSTR from one third", Variant(1.0 / 3.0), VT_BSTR, Variant("0.333333333333333")},
                      Case{"BSTR from large R8", Variant(1e20), VT_BSTR, Variant("1E+20")},
                      Case{"BSTR from small R8", Variant(1.5e-7), VT_BSTR, Variant("1.5E-07")},
                      Case{"BSTR from R4", Variant(0.1f), VT_BSTR, Variant("0.1")},
                      Case{"BSTR from Empty", Variant(), VT_BSTR, Variant("")},
                      Case{"BSTR from Null", Variant::null(), VT_BSTR, {}, 94},
                      Case{"BSTR from date and time", Variant::date(46363.6458449074), VT_BSTR,
                           Variant("12/7/2026 3:30:01 PM")},
                      Case{"BSTR from date only", Variant::date(46363.0), VT_BSTR, Variant("12/7/2026")},
                      Case{"BSTR from time only", Variant::date(0.75), VT_BSTR, Variant("6:00:00 PM")},
                      Case{"BSTR from zero date", Variant::date(0.0), VT_BSTR, Variant("12:00:00 AM")},
                      Case{"DATE from US text", Variant("12/7/2026"), VT_DATE, Variant::date(46363.0)},
                      Case{"DATE from ISO text", Variant("2026-12-07"), VT_DATE, Variant::date(46363.0)},
                      Case{"DATE from time text", Variant("6:00 PM"), VT_DATE, Variant::date(0.75)},
                      Case{"DATE from month name", Variant("December 7, 2026"), VT_DATE, Variant::date(46363.0)},
                      Case{"DATE from 31 April", Variant("4/31/2026"), VT_DATE, {}, 13},
                      Case{"DATE from words", Variant("someday"), VT_DATE, {}, 13},
                      Case{"DATE from number", Variant(2), VT_DATE, Variant::date(2.0)},
                      Case{"DATE out of range", Variant(3e6), VT_DATE, {}, 6},
                      Case{"DATE from True", Variant(true), VT_DATE, Variant::date(-1.0)},
                      Case{"I2 from date rounds", Variant::date(2.5), VT_I2, Variant(std::int16_t{2})},
                      Case{"VARIANT keeps the value", Variant(std::int16_t{3}), VT_VARIANT, Variant(std::int16_t{3})},
                      Case{"array element-wise", make_array(VT_I4, {Variant(1), Variant(2)}), VT_ARRAY | VT_BSTR,
                           make_array(VT_BSTR, {Variant("1"), Variant("2")})},
                      Case{"array element overflow", make_array(VT_I4, {Variant(70000)}), VT_ARRAY | VT_I2, {}, 6},
                      Case{"scalar to array", Variant(1), VT_ARRAY | VT_I4, {}, 13}),
    ::vexa32::testing::LabelName());

TEST(Conversion, TypedHelpersRaiseTheSameErrors) {
  EXPECT_EQ(to_i2(Variant("250")), 250);
  EXPECT_EQ(to_bstr(Variant(true)), "True");
  EXPECT_EQ(to_bool(Variant("False")), VARIANT_FALSE);
  EXPECT_EQ(to_bool(Variant(7)), VARIANT_TRUE);
  try {
    to_i2(Variant(40000));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 6);
    EXPECT_EQ(e.hresult(), hr::DISP_E_OVERFLOW);
  }
  try {
    to_bstr(Variant::null());
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 94);
  }
}

TEST(Conversion, TextRoundTripsThroughEveryNumericType) {
  for (VarType vt : {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_R4, VT_R8}) {
    Variant n = change_type(Variant("100"), vt);
    EXPECT_EQ(n.vt(), vt);
    EXPECT_EQ(to_bstr(n), "100") << vartype_name(vt);
  }
}

TEST(Conversion, DoublesPrintWithFifteenDigitsAndParseBack) {
  for (double d : {0.1, 123456.789, -42.0, 1e-5, 98765432109876.5}) {
    std::string text = to_bstr(Variant(d));
    EXPECT_NEAR(to_r8(Variant(text)), d, std::fabs(d) * 1e-14) << text;
  }
}

}  // namespace
}  // namespace vexa32
