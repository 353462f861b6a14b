#include "platform/plist/PropertyList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(PropertyListTest, OneRecordUnderTwoKeysIsTheSameObject) {
  auto outer = plist::MakeDictionary();
  auto shared = plist::MakeDictionary();
  outer->Set("X", shared);
  outer->Set("Y", shared);
  plist::AsDictionary(outer->Get("X"))->Set("current", plist::MakeInteger(300));
  auto y = plist::AsDictionary(outer->Get("Y"));
  ASSERT_TRUE(y);
  EXPECT_EQ(y.get(), shared.get());
  EXPECT_EQ(plist::AsNumber(y->Get("current"))->AsInt32(), 300);
}

TEST(PropertyListTest, DictionaryKeepsFirstInsertionOrderAndAddDoesNotReplace) {
  auto d = plist::MakeDictionary();
  d->Set("b", plist::MakeInteger(1));
  d->Set("a", plist::MakeInteger(2));
  d->Set("b", plist::MakeInteger(3));
  EXPECT_FALSE(d->Add("a", plist::MakeInteger(9)));
  EXPECT_TRUE(d->Add("c", plist::MakeInteger(4)));
  ASSERT_EQ(d->Count(), 3u);
  EXPECT_EQ(d->entries()[0].first, "b");
  EXPECT_EQ(plist::AsNumber(d->Get("b"))->AsInt32(), 3);
  EXPECT_EQ(plist::AsNumber(d->Get("a"))->AsInt32(), 2);
  d->Set("a", nullptr);
  EXPECT_FALSE(d->Has("a"));
  EXPECT_EQ(d->Get("missing"), nullptr);
}

TEST(PropertyListTest, NumbersConvertBetweenIntegerAndFloat) {
  EXPECT_EQ(plist::MakeFloat(2.9f)->AsInt32(), 2);
  EXPECT_EQ(plist::MakeFloat(-2.9f)->AsInt32(), -2);
  EXPECT_EQ(plist::MakeFloat(1e20f)->AsInt32(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(plist::MakeFloat(-1e20f)->AsInt32(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(plist::MakeFloat(std::nanf(""))->AsInt32(), 0);
  EXPECT_FLOAT_EQ(plist::MakeInteger(7)->AsFloat32(), 7.0f);
  EXPECT_FALSE(plist::MakeInteger(7)->IsFloat());
}

TEST(PropertyListTest, TypedViewsRefuseOtherKinds) {
  plist::ValueRef s = plist::MakeString("x");
  EXPECT_EQ(plist::AsNumber(s), nullptr);
  EXPECT_EQ(plist::AsDictionary(s), nullptr);
  EXPECT_EQ(plist::AsArray(nullptr), nullptr);
  EXPECT_TRUE(plist::AsString(s));
}

TEST(PropertyListTest, DescribePrintsNestedValuesReadably) {
  auto d = plist::MakeDictionary();
  auto record = plist::MakeDictionary();
  record->Set("type", plist::MakeString("TWON_RANGE"));
  record->Set("min", plist::MakeFloat(0.1f));
  record->Set("max", plist::MakeFloat(10.0f));
  record->Set("step", plist::MakeInteger(50));
  auto list = plist::MakeArray();
  list->Append(plist::MakeInteger(500));
  list->Append(plist::MakeBoolean(true));
  list->Append(plist::MakeData({0x01, 0xab}));
  record->Set("value", list);
  d->Set("say \"hi\"", record);
  EXPECT_EQ(plist::Describe(d),
            "{\n"
            "  \"say \\\"hi\\\"\" = {\n"
            "    \"type\" = \"TWON_RANGE\";\n"
            "    \"min\" = 0.1;\n"
            "    \"max\" = 10.0;\n"
            "    \"step\" = 50;\n"
            "    \"value\" = (\n"
            "      500,\n"
            "      true,\n"
            "      <01ab>\n"
            "    );\n"
            "  };\n"
            "}");
}

TEST(PropertyListTest, DescribeStopsAtCycles) {
  auto d = plist::MakeDictionary();
  d->Set("self", d);
  EXPECT_EQ(plist::Describe(d), "{\n  \"self\" = <cycle>;\n}");
  d->Remove("self");  // break the cycle so the test does not leak
}

TEST(PropertyListTest, ContainerCreationCanBeMadeToFail) {
  tarvell::testing::FailNext(plist::Call::kMakeContainer, 2, tarvell::testing::Fails::kFromThenOn);
  EXPECT_TRUE(plist::MakeDictionary());
  EXPECT_EQ(plist::MakeArray(), nullptr);
  EXPECT_EQ(plist::MakeDictionary(), nullptr);
  EXPECT_TRUE(plist::MakeInteger(1));  // scalars are not limited
  tarvell::testing::FailNext(plist::Call::kMakeContainer, 0);
  EXPECT_TRUE(plist::MakeArray());
}

}  // namespace
