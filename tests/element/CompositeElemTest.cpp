#include "element/CompositeElem.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

std::string Walk(ElementIterator* raw) {
  std::unique_ptr<ElementIterator> it(raw);
  std::string names;
  while (it->hasNext()) {
    names += it->nextName() + " ";
    it->next();
  }
  return names;
}

// A class K holding alpha and beta, and an object of it holding beta and gamma.
struct ClassAndObject : testing::Test {
  ClassAndObject() : klass(new CompositeElem(nullptr)), object(new CompositeElem(nullptr)) {
    root.changeName("root");
    MapElem* classes = new MapElem();
    root.addChild("class", classes);
    classes->addChild("Point", klass);
    klass->addChild("alpha", new IntegerElem(1));
    klass->addChild("beta", new IntegerElem(2));
    root.addChild("obj", object);
    object->setEnclosure(klass);
    object->addChild("beta", new IntegerElem(20));
    object->addChild("gamma", new IntegerElem(30));
  }
  MapElem root;
  CompositeElem* klass;
  CompositeElem* object;
};

TEST_F(ClassAndObject, DeepWalkYieldsOwnEntriesThenTheClassChain) {
  EXPECT_EQ(Walk(object->iterator(true)), "beta gamma alpha beta ");
  EXPECT_EQ(Walk(object->iterator(false)), "beta gamma ");
  EXPECT_EQ(Walk(object->iterator()), "beta gamma alpha beta ");
}

TEST_F(ClassAndObject, WalkWorksWithoutAskingHasNext) {
  std::unique_ptr<ElementIterator> it(object->iterator(true));
  std::string values;
  for (int i = 0; i < 4; ++i) values += std::to_string(it->next()->intValue()) + " ";
  EXPECT_EQ(values, "20 30 1 2 ");
  EXPECT_FALSE(it->hasNext());
  EXPECT_FALSE(it->hasNext());
  EXPECT_THROW(it->next(), NoSuchElementException);
  EXPECT_THROW(it->nextName(), NoSuchElementException);
  EXPECT_THROW(it->nextIndex(), NoSuchElementException);
}

TEST_F(ClassAndObject, IteratorFreedHalfWayFreesWhatItHolds) {
  std::unique_ptr<ElementIterator> it(object->iterator(true));
  it->next();
  it->next();
  it->next();  // now walking the class; LSan reports a leak if the inner iterator is lost
}

TEST_F(ClassAndObject, ExternalizeGivesAPlainMapWithInheritedMembers) {
  std::unique_ptr<Element> copy(object->externalize(nullptr));
  EXPECT_FALSE(copy->instanceOf("CompositeElem"));
  EXPECT_TRUE(copy->instanceOf("MapElem"));
  EXPECT_EQ(Walk(copy->iterator(true)), "alpha beta gamma ");
  EXPECT_EQ(copy->getChildRaw("beta")->intValue(), 20);
}

TEST_F(ClassAndObject, LookupFallsBackToTheClassButRemovalDoesNot) {
  EXPECT_EQ(object->getChildRaw("alpha")->intValue(), 1);
  EXPECT_TRUE(object->hasChild("alpha"));
  EXPECT_EQ(MessageOf([&] { object->removeChild("alpha"); }), "MapElem::removeChild");
  EXPECT_EQ(MessageOf([&] { object->getChildRaw("delta"); }), "delta");
  EXPECT_EQ(object->getChild("beta")->intValue(), 20);
}

TEST_F(ClassAndObject, SetChildOfAnInheritedNameMakesAnOwnEntry) {
  Element* classAlpha = klass->getChildRaw("alpha");
  Element* returned = object->setChild("alpha", new IntegerElem(100));
  EXPECT_EQ(returned, classAlpha);  // still the class's: not ours to free
  EXPECT_EQ(classAlpha->getParent(), klass);
  EXPECT_EQ(object->getChildRaw("alpha")->intValue(), 100);
  EXPECT_EQ(klass->getChildRaw("alpha")->intValue(), 1);
}

TEST_F(ClassAndObject, ToStringNamesTheClass) {
  EXPECT_EQ(object->toString(), "  <root.class.Point>");
  EXPECT_EQ(klass->toString(), "  <>");
}

TEST_F(ClassAndObject, CloneKeepsTheClassAndCopiesOwnEntries) {
  std::unique_ptr<Element> copy(object->clone());
  auto* composite = dynamic_cast<CompositeElem*>(copy.get());
  ASSERT_NE(composite, nullptr);
  EXPECT_EQ(composite->getEnclosure(), klass);
  EXPECT_EQ(Walk(composite->iterator(false)), "beta gamma ");
  EXPECT_EQ(composite->getChildRaw("alpha")->intValue(), 1);
}

TEST_F(ClassAndObject, ASetterInTheClassGuardsEveryObject) {
  klass->addChild("_set_x", new BooleanElem(false));
  IntegerElem* v = new IntegerElem(5);
  EXPECT_EQ(object->addChild("x", v), nullptr);
  EXPECT_THROW(object->getChildRaw("x"), NoSuchElementException);
  EXPECT_EQ(v->getParent(), nullptr);  // still the caller's
  ListElem stillFree;
  stillFree.add(v);  // not held by the setter's argument list
}

Element* AcceptPositive(Element*, ListElem* args) {
  static BooleanElem yes(true), no(false);
  return args->getChildRaw(0u)->intValue() > 0 ? &yes : &no;
}

TEST(CompositeElemTest, SetterSeesTheCandidate) {
  CompositeElem object(nullptr);
  object.addChild("_set_n", new OperationElem(&AcceptPositive));
  IntegerElem* negative = new IntegerElem(-1);
  EXPECT_EQ(object.addChild("n", negative), nullptr);
  delete negative;
  EXPECT_EQ(object.addChild("n", new IntegerElem(3)), nullptr);
  EXPECT_EQ(object.getChildRaw("n")->intValue(), 3);
  IntegerElem* refused = new IntegerElem(-4);
  EXPECT_EQ(object.setChild("n", refused), nullptr);
  delete refused;
  std::unique_ptr<Element> old(object.setChild("n", new IntegerElem(4)));
  EXPECT_EQ(old->intValue(), 3);
  // Re-setting the stored child through a setter leaves it stored (and not freed).
  Element* stored = object.getChildRaw("n");
  EXPECT_EQ(object.setChild("n", stored), stored);
  EXPECT_EQ(object.getChildRaw("n"), stored);
}

Element* Throwing(Element*, ListElem*) { throw ValueConversionException("bad"); }

TEST(CompositeElemTest, FailingSetterLeavesTheCandidateAlone) {
  CompositeElem object(nullptr);
  object.addChild("_set_n", new OperationElem(&Throwing));
  IntegerElem* candidate = new IntegerElem(1);
  EXPECT_EQ(MessageOf([&] { object.addChild("n", candidate); }), "bad");
  delete candidate;  // the argument list did not take it with it
  object.addChild("_set_m", new BooleanElem(true));
  EXPECT_EQ(object.addChild("m", new IntegerElem(2)), nullptr);
  EXPECT_EQ(object.getChildRaw("m")->intValue(), 2);
}

TEST(CompositeElemTest, LeafEnclosure) {
  StringElem leaf("not a class");
  CompositeElem object(&leaf);
  object.addChild("own", new IntegerElem(1));
  EXPECT_EQ(MessageOf([&] { object.getChildRaw("missing"); }), "missing");
  EXPECT_THROW(object.getChildRaw("missing"), NoSuchElementException);
  std::unique_ptr<ElementIterator> it(object.iterator(true));
  it->next();
  EXPECT_THROW(it->hasNext(), NotSupportedException);
}

TEST(CompositeElemTest, EnclosureCanBeReplacedAndIsNotOwned) {
  MapElem k1, k2;
  k1.addChild("a", new IntegerElem(1));
  k2.addChild("b", new IntegerElem(2));
  {
    CompositeElem object(&k1);
    EXPECT_EQ(object.setEnclosure(&k2), &k1);
    EXPECT_EQ(object.getEnclosure(), &k2);
    EXPECT_EQ(object.getChildRaw("b")->intValue(), 2);
    EXPECT_FALSE(object.hasChild("a"));
  }
  EXPECT_EQ(k2.getNumChildren(), 1u);
}

TEST(CompositeElemTest, IndexFormsUseDecimalNames) {
  CompositeElem object(nullptr);
  object.addChild(0u, new IntegerElem(5));
  EXPECT_EQ(object.getChildRaw("0")->intValue(), 5);
  EXPECT_EQ(object.getChildRaw(0u)->intValue(), 5);
  std::unique_ptr<Element> old(object.setChild(0u, new IntegerElem(6)));
  EXPECT_EQ(old->intValue(), 5);
}

}  // namespace

namespace {

TEST(CompositeElemTest, RemoveChildrenWithALeafEnclosureDetachesOwnEntries) {
  StringElem leaf("x");
  CompositeElem object(&leaf);
  IntegerElem* own = new IntegerElem(1);
  object.addChild("own", own);
  std::unique_ptr<Element> keep(own);
  object.removeChildren();
  EXPECT_EQ(object.getNumChildren(), 0u);
  EXPECT_EQ(own->getParent(), nullptr);
}

}  // namespace
