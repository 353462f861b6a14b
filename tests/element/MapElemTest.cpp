#include "element/MapElem.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

std::string Names(Element* container, bool deep = true) {
  std::unique_ptr<ElementIterator> it(container->iterator(deep));
  std::string names;
  while (it->hasNext()) {
    names += it->nextName() + " ";
    it->next();
  }
  return names;
}

TEST(MapElemTest, IteratesInByteWiseNameOrder) {
  MapElem map;
  map.addChild("beta", new IntegerElem(2));
  map.addChild("alpha", new IntegerElem(1));
  map.addChild("gamma", new IntegerElem(3));
  map.addChild("al", new IntegerElem(0));
  map.addChild("Zed", new IntegerElem(4));
  EXPECT_EQ(Names(&map), "Zed al alpha beta gamma ");
}

TEST(MapElemTest, ExhaustedIteratorThrows) {
  MapElem map;
  map.addChild("a", new IntegerElem(1));
  std::unique_ptr<ElementIterator> it(map.iterator(false));
  EXPECT_EQ(it->next()->intValue(), 1);
  EXPECT_FALSE(it->hasNext());
  EXPECT_EQ(MessageOf([&] { it->next(); }), "MapElem::ElementIteratorImpl.next");
  EXPECT_EQ(MessageOf([&] { it->next(nullptr); }), "MapElem::ElementIteratorImpl.next");
  EXPECT_EQ(MessageOf([&] { it->nextName(); }), "MapElem::ElementIteratorImpl.nextName");
}

TEST(MapElemTest, NumericNamesActAsIndices) {
  MapElem map;
  for (int i = 0; i < 3; ++i) map.addChild(std::to_string(i), new IntegerElem(i * 10));
  EXPECT_EQ(map.getChildRaw(1u)->intValue(), 10);
  std::unique_ptr<ElementIterator> it(map.iterator(false));
  EXPECT_EQ(it->nextIndex(), 0);
  it->next();
  EXPECT_EQ(it->nextIndex(), 1);
  map.addChild("x", new IntegerElem(0));
  std::unique_ptr<ElementIterator> named(map.iterator(false));
  for (int i = 0; i < 3; ++i) named->next();
  EXPECT_EQ(MessageOf([&] { named->nextIndex(); }), "Illegal conversion");
}

TEST(MapElemTest, MissingChildMessages) {
  MapElem map;
  EXPECT_EQ(MessageOf([&] { map.getChildRaw("nope"); }), "getChildRaw:nopenot found");
  IntegerElem candidate(1);  // stays the caller's when the name is missing
  EXPECT_EQ(MessageOf([&] { map.setChild("nope", &candidate); }), "getChildRaw:nopenot found");
  EXPECT_EQ(candidate.getParent(), nullptr);
  EXPECT_EQ(MessageOf([&] { map.removeChild("nope"); }), "MapElem::removeChild");
  EXPECT_EQ(map.getNumChildren(), 0u);
}

TEST(MapElemTest, AddChildOverExistingNameHandsBackTheOldChildUntouched) {
  MapElem map;
  IntegerElem* old = new IntegerElem(1);
  map.addChild("x", old);
  IntegerElem* fresh = new IntegerElem(2);
  Element* returned = map.addChild("x", fresh);
  ASSERT_EQ(returned, old);
  std::unique_ptr<Element> owned(returned);  // the caller owns it now
  EXPECT_EQ(map.getChildRaw("x"), fresh);
  EXPECT_EQ(old->getParent(), &map);
  EXPECT_EQ(old->getName(), "x");
  EXPECT_EQ(map.getNumChildren(), 1u);
}

TEST(MapElemTest, SetChildDetachesAndReturnsTheReplacedChild) {
  MapElem map;
  IntegerElem* old = new IntegerElem(1);
  map.addChild("x", old);
  Element* replaced = map.setChild("x", new IntegerElem(2));
  ASSERT_EQ(replaced, old);
  EXPECT_EQ(old->getParent(), nullptr);
  EXPECT_EQ(old->getName(), "");
  delete replaced;
  EXPECT_EQ(map.getChildRaw("x")->intValue(), 2);
  EXPECT_EQ(map.getChildRaw("x")->getName(), "x");
}

TEST(MapElemTest, SetChildWithTheStoredChildReattachesIt) {
  MapElem map;
  IntegerElem* child = new IntegerElem(1);
  map.addChild("x", child);
  EXPECT_EQ(map.setChild("x", child), child);  // must not be freed by the caller
  EXPECT_EQ(child->getParent(), &map);
  EXPECT_EQ(child->getName(), "x");
  EXPECT_EQ(map.getChildRaw("x"), child);
}

TEST(MapElemTest, SetChildWithAForeignChildChangesNothing) {
  MapElem a, b;
  IntegerElem* inA = new IntegerElem(1);
  IntegerElem* inB = new IntegerElem(2);
  a.addChild("x", inA);
  b.addChild("x", inB);
  EXPECT_EQ(MessageOf([&] { a.setChild("x", inB); }), "Element already added");
  EXPECT_EQ(a.getChildRaw("x"), inA);
  EXPECT_EQ(inA->getParent(), &a);
  EXPECT_EQ(inB->getParent(), &b);
}

TEST(MapElemTest, RemoveHandsBackAndRemoveChildrenDetachesAll) {
  MapElem map;
  IntegerElem* a = new IntegerElem(1);
  IntegerElem* b = new IntegerElem(2);
  map.addChild("a", a);
  map.addChild("b", b);
  std::unique_ptr<Element> removed(map.removeChild("a"));
  EXPECT_EQ(removed.get(), a);
  EXPECT_EQ(a->getParent(), nullptr);
  std::unique_ptr<Element> keep(b);
  map.removeChildren();
  EXPECT_EQ(map.getNumChildren(), 0u);
  EXPECT_EQ(b->getParent(), nullptr);
  EXPECT_EQ(b->getName(), "");
}

TEST(MapElemTest, ContainerConversionsRefuseWithFullName) {
  MapElem root;
  root.changeName("a");
  MapElem* b = new MapElem();
  root.addChild("b", b);
  EXPECT_EQ(MessageOf([&] { b->stringValue(); }), "stringValue() not supported on a.b");
  EXPECT_EQ(MessageOf([&] { b->intValue(); }), "intValue() not supported on a.b");
  EXPECT_EQ(MessageOf([&] { b->booleanValue(); }), "booleanValue() not supported on a.b");
  EXPECT_EQ(b->toString(), "");
}

TEST(MapElemTest, CloneIsDeepAndDetached) {
  MapElem root;
  MapElem* map = new MapElem();
  root.addChild("m", map);
  map->addChild("n", new IntegerElem(5));
  MapElem* inner = new MapElem();
  map->addChild("inner", inner);
  inner->addChild("s", new StringElem("t"));
  std::unique_ptr<Element> copy(map->clone());
  EXPECT_EQ(copy->getParent(), nullptr);
  EXPECT_EQ(copy->getName(), "");
  EXPECT_EQ(copy->getChildRaw("n")->intValue(), 5);
  EXPECT_NE(copy->getChildRaw("n"), map->getChildRaw("n"));
  EXPECT_EQ(copy->getChildRaw("inner")->getChildRaw("s")->stringValue(), "t");
  EXPECT_EQ(copy->getChildRaw("inner")->getParent(), copy.get());
}

TEST(MapElemTest, CloneOfABinaryChildFailsWithoutLeaking) {
  MapElem map;
  unsigned char bytes[] = {1};
  map.addChild("a", new IntegerElem(1));
  map.addChild("b", new BinaryElem(bytes, 1));
  EXPECT_EQ(MessageOf([&] { delete map.clone(); }), "Element already added");
  EXPECT_EQ(map.getNumChildren(), 2u);
}

Element* ThrowsNoSuchElement(Element*, ListElem*) { throw NoSuchElementException("gone"); }

TEST(MapElemTest, ExternalizeDropsPrivateAndUncopyableMembers) {
  MapElem map;
  map.addChild("_secret", new IntegerElem(1));
  map.addChild("visible", new IntegerElem(2));
  map.addChild("op", new OperationElem());
  map.addChild("lazy", new LazyEvalElem(&ThrowsNoSuchElement));
  std::unique_ptr<Element> copy(map.externalize(nullptr));
  EXPECT_TRUE(copy->instanceOf("MapElem"));
  EXPECT_EQ(Names(copy.get()), "visible ");
  EXPECT_NE(copy->getChildRaw("visible"), map.getChildRaw("visible"));
}

TEST(MapElemTest, ExternalizeFailureFreesThePartialCopy) {
  MapElem map;
  map.addChild("a", new IntegerElem(1));
  map.addChild("b", new LazyEvalElem());  // no function: the failure passes through
  EXPECT_EQ(MessageOf([&] { delete map.externalize(nullptr); }), "Null function Pointer");
}

TEST(MapElemTest, ChildrenToString) {
  MapElem map;
  map.addChild("x", new IntegerElem(5));
  EXPECT_EQ(map.childrenToString(), "<Map(x : 5)>");
  map.addChild("y", new StringElem("s"));
  EXPECT_EQ(map.childrenToString(), "<Map(x : 5)(y : s)>");
}

TEST(MapElemTest, NullChildIsRefused) {
  MapElem map;
  EXPECT_THROW(map.addChild("x", nullptr), ObjectStoreException);
  EXPECT_EQ(map.getNumChildren(), 0u);
}

}  // namespace
