#include "element/AliasElem.h"

#include <gtest/gtest.h>

#include <memory>

#include "element/Elements.h"

namespace {

struct AliasToMap : testing::Test {
  AliasToMap() : map(new MapElem()), alias(map) {
    root.changeName("root");
    root.addChild("m", map);
    map->addChild("x", new IntegerElem(1));
    map->addChild("y", new IntegerElem(2));
  }
  MapElem root;
  MapElem* map;
  AliasElem alias;
};

TEST_F(AliasToMap, AnswersForTheTarget) {
  EXPECT_EQ(alias.getNumChildren(), 2u);
  EXPECT_EQ(alias.getChildRaw("y")->intValue(), 2);
  EXPECT_EQ(alias.getFullName(), "root.m");
  EXPECT_EQ(alias.getName(), "m");
  EXPECT_EQ(alias.getParent(), &root);
  EXPECT_EQ(alias.toString(), ": root.m");
  EXPECT_TRUE(alias.instanceOf("MapElem"));
  EXPECT_EQ(alias.getTarget(), map);
  std::unique_ptr<ElementIterator> it(alias.iterator(false));
  EXPECT_EQ(it->nextName(), "x");
}

TEST_F(AliasToMap, WritesGoToTheTarget) {
  alias.addChild("z", new IntegerElem(3));
  EXPECT_EQ(map->getChildRaw("z")->intValue(), 3);
  std::unique_ptr<Element> removed(alias.removeChild("z"));
  EXPECT_EQ(removed->getParent(), nullptr);
  EXPECT_EQ(map->getNumChildren(), 2u);
}

TEST_F(AliasToMap, CloneIsTheAliasItselfAndVisitorsNeverSeeIt) {
  EXPECT_EQ(alias.clone(), &alias);
  std::unique_ptr<Element> external(alias.externalize(nullptr));
  EXPECT_EQ(external->getNumChildren(), 2u);
}

TEST_F(AliasToMap, GetChildThroughAnAliasGivesTheTarget) {
  MapElem holder;
  holder.addChild("a", new AliasElem(map));
  EXPECT_EQ(holder.getChild("a"), map);
  EXPECT_EQ(holder.getChildRaw("a")->getName(), "m");  // its own name is never shown
}

TEST(AliasElemTest, BinaryBytesAreNotForwarded) {
  unsigned char bytes[] = {1, 2};
  BinaryElem binary(bytes, 2);
  AliasElem alias(&binary);
  EXPECT_THROW(alias.binaryValue(), NotSupportedException);
  EXPECT_THROW(alias.binaryLength(), NotSupportedException);
  StringElem text("yes");
  AliasElem textAlias(&text);
  EXPECT_EQ(textAlias.stringValue(), "yes");
  EXPECT_TRUE(textAlias.booleanValue());
  EXPECT_EQ(textAlias.intValue(), 1);
}

TEST(AliasElemTest, DestroyingTheAliasLeavesTheTarget) {
  MapElem target;
  target.addChild("x", new IntegerElem(1));
  { AliasElem alias(&target); }
  EXPECT_EQ(target.getNumChildren(), 1u);
}

}  // namespace
