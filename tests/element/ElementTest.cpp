#include "element/Element.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

TEST(ElementTest, FreshElementIsDetached) {
  IntegerElem e(1);
  EXPECT_EQ(e.getName(), "");
  EXPECT_EQ(e.getFullName(), "");
  EXPECT_EQ(e.getParent(), nullptr);
}

TEST(ElementTest, AddedTwiceFailsAndKeepsFirstContainer) {
  MapElem first, second;
  IntegerElem* child = new IntegerElem(1);
  first.addChild("a", child);
  EXPECT_EQ(MessageOf([&] { second.addChild("b", child); }), "Element already added");
  EXPECT_EQ(child->getName(), "a");
  EXPECT_EQ(child->getParent(), &first);
  EXPECT_EQ(second.getNumChildren(), 0u);
}

TEST(ElementTest, RemovedByAnotherContainerLeavesItAttached) {
  MapElem owner, stranger;
  IntegerElem* child = new IntegerElem(1);
  owner.addChild("a", child);
  child->removed(&stranger);
  EXPECT_EQ(child->getParent(), &owner);
  EXPECT_EQ(child->getName(), "a");
}

TEST(ElementTest, ContainerCannotHoldItselfOrAnAncestor) {
  auto root = std::make_unique<MapElem>();
  MapElem* inner = new MapElem();
  root->addChild("inner", inner);
  EXPECT_EQ(MessageOf([&] { root->addChild("self", root.get()); }), "Element cannot contain itself");
  EXPECT_EQ(MessageOf([&] { inner->addChild("up", root.get()); }), "Element cannot contain itself");
  ListElem list;
  EXPECT_EQ(MessageOf([&] { list.add(static_cast<Element*>(&list)); }), "Element cannot contain itself");
  EXPECT_EQ(root->getNumChildren(), 1u);
  EXPECT_EQ(inner->getNumChildren(), 0u);
  EXPECT_EQ(list.getNumChildren(), 0u);
}

TEST(ElementTest, FullNameJoinsAncestors) {
  MapElem root;
  root.changeName("root");
  MapElem* globals = new MapElem();
  root.addChild("globals", globals);
  IntegerElem* x = new IntegerElem(1);
  globals->addChild("x", x);
  EXPECT_EQ(x->getFullName(), "root.globals.x");

  MapElem unnamed;
  IntegerElem* y = new IntegerElem(2);
  unnamed.addChild("y", y);
  EXPECT_EQ(y->getFullName(), ".y");
}

TEST(ElementTest, InstanceOfWalksTheClassChain) {
  StringElem s("x");
  for (const char* name : {"StringElem", "DataElem", "TerminalElem", "Element"}) {
    EXPECT_TRUE(s.instanceOf(name)) << name;
  }
  EXPECT_FALSE(s.instanceOf("element"));
  EXPECT_FALSE(s.instanceOf("IntegerElem"));
  EXPECT_FALSE(s.instanceOf("NonterminalElem"));
  NullElem n;
  EXPECT_TRUE(n.instanceOf("TerminalElem"));
  CompositeElem c(nullptr);
  for (const char* name : {"CompositeElem", "MapElem", "NonterminalElem", "Element"}) {
    EXPECT_TRUE(c.instanceOf(name)) << name;
  }
  EXPECT_FALSE(c.instanceOf("ListElem"));
  EXPECT_TRUE(c.instanceOf(MapElem::_type));
  EXPECT_EQ(std::string(DataElem::_type), "DataElem");
  EXPECT_EQ(std::string(NonterminalElem::_type), "NonterminalElem");
  OperationElem op;
  EXPECT_TRUE(op.instanceOf("TerminalElem"));
  EXPECT_FALSE(op.instanceOf("DataElem"));
}

TEST(ElementTest, HasChildOnlyTurnsMissingIntoFalse) {
  MapElem map;
  map.addChild("n", new IntegerElem(1));
  EXPECT_TRUE(map.hasChild("n"));
  EXPECT_FALSE(map.hasChild("m"));
  EXPECT_FALSE(map.hasChild(3u));
  IntegerElem leaf(1);
  EXPECT_THROW(leaf.hasChild("n"), NotSupportedException);
}

TEST(ElementTest, DefaultConversionsRefuseWithGeneralException) {
  StringElem s("x");
  EXPECT_EQ(MessageOf([&] { s.objectValue(); }), "General Exception");
  EXPECT_EQ(MessageOf([&] { s.binaryValue(); }), "General Exception");
  EXPECT_EQ(MessageOf([&] { s.binaryLength(); }), "General Exception");
}

TEST(ElementTest, CloneWithoutOwnCopyIsTheSameObjectAndCannotBeStoredTwice) {
  unsigned char bytes[] = {1, 2, 3};
  MapElem first, second;
  BinaryElem* b = new BinaryElem(bytes, 3);
  first.addChild("b", b);
  Element* copy = b->clone();
  EXPECT_EQ(copy, b);
  EXPECT_EQ(MessageOf([&] { second.addChild("b", copy); }), "Element already added");
}

TEST(ElementTest, SwappedArgumentFormsReachTheVirtualOperations) {
  MapElem map;
  IntegerElem* one = new IntegerElem(1);
  EXPECT_EQ(map.addChild(one, std::string("a")), nullptr);
  IntegerElem* two = new IntegerElem(2);
  Element* replaced = map.setChild(two, std::string("a"));
  EXPECT_EQ(replaced, one);
  delete replaced;
  ListElem list;
  list.addChild(new IntegerElem(5), 0u);
  EXPECT_EQ(list.getChild(0u)->intValue(), 5);
}

std::string Printed(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(ElementTest, PrintListsChildrenWithIndent) {
  MapElem map;
  map.addChild("n", new IntegerElem(7));
  EXPECT_EQ(Printed([&] { map.print("m"); }), " m :  \r\n    n : : 7 \r\n");
}

TEST(ElementTest, PrintStopsAtLevelLimitAndAtAliases) {
  MapElem map;
  map.addChild("n", new IntegerElem(7));
  EXPECT_EQ(Printed([&] { Element::print("", "m", &map, 0); }), " m :  \r\nMAX NUMBER OF LEVEL REACHED!\r\n");
  EXPECT_EQ(Printed([&] { Element::print("", "m", &map, 1); }),
            " m :  \r\n    n : : 7 \r\nMAX NUMBER OF LEVEL REACHED!\r\n");

  // The root holds an alias to itself: printing must not loop.
  MapElem root;
  root.changeName("root");
  root.addChild("root", new AliasElem(&root));
  EXPECT_EQ(Printed([&] { root.print("root"); }), " root :  \r\n    root : : root \r\n");
}

}  // namespace
