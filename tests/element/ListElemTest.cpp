#include "element/ListElem.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

// "value:name" of each child, in index order.
std::string Contents(ListElem& list) {
  std::string text;
  for (unsigned int i = 0; i < list.getNumChildren(); ++i) {
    Element* child = list.getChildRaw(i);
    text += child->stringValue() + ":" + child->getName() + " ";
  }
  return text;
}

TEST(ListElemTest, InsertAndRemoveKeepNamesEqualToIndices) {
  ListElem list;
  list.addChild(0u, new StringElem("A"));
  list.addChild(1u, new StringElem("B"));
  list.addChild(0u, new StringElem("C"));
  EXPECT_EQ(Contents(list), "C:0 A:1 B:2 ");
  std::unique_ptr<Element> a(list.removeChild(1u));
  EXPECT_EQ(a->stringValue(), "A");
  EXPECT_EQ(a->getParent(), nullptr);
  EXPECT_EQ(a->getName(), "");
  EXPECT_EQ(Contents(list), "C:0 B:1 ");
}

TEST(ListElemTest, BoundsAreChecked) {
  ListElem list;
  list.add(1)->add(2);
  IntegerElem* x = new IntegerElem(3);
  EXPECT_EQ(MessageOf([&] { list.addChild(3u, x); }), "Index out of bounds on AddChild");
  EXPECT_EQ(x->getParent(), nullptr);
  list.addChild(2u, x);  // index n appends
  EXPECT_EQ(list.getNumChildren(), 3u);
  EXPECT_EQ(MessageOf([&] { list.getChildRaw(3u); }), "3");
  EXPECT_EQ(MessageOf([&] { list.removeChild(7u); }), "7");
  IntegerElem y(9);
  EXPECT_EQ(MessageOf([&] { list.setChild(3u, &y); }), "3");
  EXPECT_EQ(y.getParent(), nullptr);
  EXPECT_EQ(list.getNumChildren(), 3u);
}

TEST(ListElemTest, NamesAreReadWithAtoi) {
  ListElem list;
  list.add("zero")->add("one");
  EXPECT_EQ(list.getChildRaw("1")->stringValue(), "one");
  EXPECT_EQ(list.getChildRaw("x")->stringValue(), "zero");  // not a number reads index 0
  EXPECT_EQ(MessageOf([&] { list.getChildRaw("99999999999999999999"); }), "2147483647");
  EXPECT_EQ(MessageOf([&] { list.getChildRaw("-1"); }), "-1");
}

TEST(ListElemTest, SetChildReplacesAndHandsBack) {
  ListElem list;
  list.addChild(0u, new IntegerElem(1));
  Element* old = list.getChildRaw(0u);
  std::unique_ptr<Element> replaced(list.setChild(0u, new IntegerElem(2)));
  EXPECT_EQ(replaced.get(), old);
  EXPECT_EQ(old->getParent(), nullptr);
  EXPECT_EQ(list.getChildRaw(0u)->intValue(), 2);
  EXPECT_EQ(list.getChildRaw(0u)->getName(), "0");
  Element* same = list.getChildRaw(0u);
  EXPECT_EQ(list.setChild(0u, same), same);  // re-attached, still owned by the list
  EXPECT_EQ(same->getParent(), &list);
}

TEST(ListElemTest, SetChildWithForeignChildChangesNothing) {
  ListElem list;
  MapElem other;
  list.add(1);
  IntegerElem* foreign = new IntegerElem(2);
  other.addChild("f", foreign);
  EXPECT_EQ(MessageOf([&] { list.setChild(0u, foreign); }), "Element already added");
  EXPECT_EQ(list.getChildRaw(0u)->intValue(), 1);
  EXPECT_EQ(foreign->getParent(), &other);
}

TEST(ListElemTest, AddStoresWithoutAttachingButOwns) {
  ListElem list;
  MapElem holder;
  holder.changeName("h");
  holder.addChild("list", new ListElem());
  auto* inner = static_cast<ListElem*>(holder.getChildRaw("list"));
  StringElem* s = new StringElem("v");
  inner->add(s);
  EXPECT_EQ(s->getParent(), nullptr);
  EXPECT_EQ(s->getFullName(), "");
  EXPECT_EQ(inner->getChildRaw(0u), s);
  // Children appended with add are renamed like the others when the list shifts.
  inner->addChild(0u, new IntegerElem(1));
  EXPECT_EQ(s->getName(), "1");
  list.add(true)->add(7)->add(std::string("x"))->add("y");
  EXPECT_EQ(list.childrenToString(), "<List : true : 7 : x : y>");
}

TEST(ListElemTest, AnElementCannotBeAppendedToTwoContainers) {
  ListElem first, second;
  MapElem map;
  StringElem* s = new StringElem("v");
  first.add(s);
  EXPECT_EQ(MessageOf([&] { second.add(s); }), "Element already added");
  EXPECT_EQ(MessageOf([&] { first.add(s); }), "Element already added");
  EXPECT_EQ(MessageOf([&] { map.addChild("s", s); }), "Element already added");
  IntegerElem* attached = new IntegerElem(1);
  map.addChild("a", attached);
  EXPECT_EQ(MessageOf([&] { second.add(attached); }), "Element already added");
  EXPECT_EQ(second.getNumChildren(), 0u);
  EXPECT_EQ(first.getNumChildren(), 1u);
}

TEST(ListElemTest, RemovedAppendedChildIsFreeAgain) {
  ListElem first, second;
  StringElem* s = new StringElem("v");
  first.add(s);
  Element* taken = first.removeChild(0u);
  ASSERT_EQ(taken, s);
  second.add(taken);  // owned by second now
  EXPECT_EQ(second.getNumChildren(), 1u);
  EXPECT_EQ(first.getNumChildren(), 0u);
}

TEST(ListElemTest, RemoveChildrenDetachesWithoutDeleting) {
  ListElem list;
  IntegerElem* a = new IntegerElem(1);
  IntegerElem* b = new IntegerElem(2);
  list.addChild(0u, a);
  list.add(b);
  std::unique_ptr<Element> ownA(a), ownB(b);
  list.removeChildren();
  EXPECT_EQ(list.getNumChildren(), 0u);
  EXPECT_EQ(a->getParent(), nullptr);
  ListElem other;
  other.add(b);  // b is no longer held by the first list
  other.removeChildren();
}

TEST(ListElemTest, IteratorReadsByIndex) {
  ListElem list;
  list.add(10)->add(20);
  std::unique_ptr<ElementIterator> it(list.iterator(false));
  EXPECT_EQ(it->nextName(), "0");
  EXPECT_EQ(it->nextIndex(), 0);
  EXPECT_EQ(it->next()->intValue(), 10);
  EXPECT_EQ(it->next(nullptr)->intValue(), 20);
  EXPECT_FALSE(it->hasNext());
  EXPECT_EQ(it->nextName(), "2");
  EXPECT_EQ(MessageOf([&] { it->next(); }), "OutofRange");
  EXPECT_EQ(MessageOf([&] { it->nextIndex(); }), "OutofRange");
}

TEST(ListElemTest, CloneAndExternalize) {
  ListElem list;
  list.add(1)->add("two");
  list.add(static_cast<Element*>(new OperationElem()));
  list.add(3);
  std::unique_ptr<Element> external(list.externalize(nullptr));
  ASSERT_EQ(external->getNumChildren(), 3u);  // the operation is skipped and takes no index
  EXPECT_EQ(external->getChildRaw(2u)->intValue(), 3);
  EXPECT_EQ(external->getChildRaw(2u)->getName(), "2");

  ListElem plain;
  plain.add(1)->add("two");
  std::unique_ptr<Element> copy(plain.clone());
  ASSERT_EQ(copy->getNumChildren(), 2u);
  EXPECT_EQ(copy->getChildRaw(1u)->stringValue(), "two");
  EXPECT_EQ(copy->getChildRaw(1u)->getParent(), copy.get());
  EXPECT_NE(copy->getChildRaw(0u), plain.getChildRaw(0u));
}

TEST(ListElemTest, CloneOfAnOperationChildFailsWithoutLeaking) {
  ListElem list;
  list.add(1);
  list.add(static_cast<Element*>(new OperationElem()));
  EXPECT_EQ(MessageOf([&] { delete list.clone(); }), "Element already added");
}

}  // namespace
