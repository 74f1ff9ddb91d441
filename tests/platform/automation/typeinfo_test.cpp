#include "platform/automation/typeinfo.h"

#include <gtest/gtest.h>

#include "platform/automation/convert.h"

namespace vexa32 {
namespace {

// A small automation class: a 16-bit property, a variant property that converts itself, a
// method with an optional and a byref parameter, and a non-browsable property.
class Gadget : public Dispatch {
 public:
  const TypeInfo& type_info() const override { return info(); }

  static const TypeInfo& info() {
    static const TypeInfo ti = TypeInfoBuilder<Gadget>("Gadget")
                                   .get("Count", 1, VT_I2, [](Gadget& g) { return Variant(g.count); })
                                   .put("Count", 1, VT_I2, [](Gadget& g, const Variant& v) { g.count = v.i2(); })
                                   .get("Rate", 2, VT_VARIANT, [](Gadget& g) { return Variant(g.count); })
                                   .put("Rate", 2, VT_VARIANT, [](Gadget& g, const Variant& v) { g.count = to_i2(v); })
                                   .method("Add", 3, {{"a", VT_I4}, {"b", VT_I4, true}}, VT_I4,
                                           [](Gadget&, InvokeArgs args) {
                                             std::int32_t b = args[1].is_missing() ? 100 : args[1].i4();
                                             return Variant(args[0].i4() + b);
                                           })
                                   .method("Fill", 4, {{"out", VT_BSTR, false, true}}, VT_EMPTY,
                                           [](Gadget&, InvokeArgs args) {
                                             args[0] = Variant("filled");
                                             return Variant();
                                           })
                                   .get(
                                       "Hidden", 5, VT_I4, [](Gadget&) { return Variant(0); }, FUNCFLAG_FNONBROWSABLE)
                                   .build();
    return ti;
  }

  std::int16_t count = 0;
};

TEST(Invoke, CoercesArgumentsToTheDeclaredType) {
  Gadget g;
  g.put("count", Variant("250"));
  EXPECT_EQ(g.count, 250);
  g.put("COUNT", Variant(2.5));
  EXPECT_EQ(g.count, 2);
  EXPECT_EQ(g.get("Count"), Variant(std::int16_t{2}));
}

TEST(Invoke, ConversionFailureIsTheMembersErrorAndStoresNothing) {
  Gadget g;
  g.count = 7;
  try {
    g.put("Count", Variant(40000));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 6);
  }
  try {
    g.put("Count", Variant("seven"));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 13);
  }
  EXPECT_EQ(g.count, 7);
}

TEST(Invoke, VariantParametersReachTheMemberUnchanged) {
  Gadget g;
  g.put("Rate", Variant("3.5"));  // the member converts: 4 by half-to-even
  EXPECT_EQ(g.count, 4);
}

TEST(Invoke, ByNameAndByDispidReachTheSameMember) {
  Gadget g;
  std::vector<Variant> args{Variant("1"), Variant(2)};
  EXPECT_EQ(g.Invoke(3, InvokeKind::Method, args), Variant(3));
  EXPECT_EQ(g.call("add", {Variant(1), Variant(2)}), Variant(3));
  EXPECT_EQ(g.type_info().dispid_of("ADD"), 3);
}

TEST(Invoke, OptionalArgumentsMayBeOmitted) {
  Gadget g;
  EXPECT_EQ(g.call("Add", {Variant(1)}), Variant(101));
  EXPECT_EQ(g.call("Add", {Variant(1), Variant::missing()}), Variant(101));
  try {
    g.call("Add", {});
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), rt::ArgumentNotOptional);
  }
  try {
    g.call("Add", {Variant(1), Variant(2), Variant(3)});
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), rt::WrongNumberOfArguments);
  }
}

TEST(Invoke, ByrefArgumentsAreWrittenBack) {
  Gadget g;
  std::vector<Variant> args{Variant()};
  g.Invoke("Fill", InvokeKind::Method, args);
  EXPECT_EQ(args[0], Variant("filled"));
}

TEST(Invoke, UnknownMembersFail) {
  Gadget g;
  try {
    g.get("Nope");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), rt::ObjectDoesNotSupport);
  }
  std::vector<Variant> none;
  EXPECT_THROW(g.Invoke(99, InvokeKind::PropertyGet, none), AutomationError);
  // A read-only property has no put.
  EXPECT_THROW(g.put("Hidden", Variant(1)), AutomationError);
}

TEST(TypeInfo, KeepsInterfaceOrderAndBrowsability) {
  const TypeInfo& ti = Gadget::info();
  ASSERT_EQ(ti.members().size(), 7u);
  EXPECT_EQ(ti.members()[0].name, "Count");
  EXPECT_EQ(ti.members()[0].kind, InvokeKind::PropertyGet);
  EXPECT_EQ(ti.members()[1].kind, InvokeKind::PropertyPut);
  EXPECT_EQ(ti.browsable_properties(), (std::vector<std::string>{"Count", "Rate"}));
}

TEST(TypeInfo, RejectsDuplicateMembers) {
  TypeInfo ti("T");
  ti.add(MemberInfo{"A", 1, InvokeKind::Method, {}, VT_EMPTY, 0, {}});
  EXPECT_THROW(ti.add(MemberInfo{"B", 1, InvokeKind::Method, {}, VT_EMPTY, 0, {}}), std::logic_error);
  EXPECT_THROW(ti.add(MemberInfo{"a", 2, InvokeKind::Method, {}, VT_EMPTY, 0, {}}), std::logic_error);
}

}  // namespace
}  // namespace vexa32
