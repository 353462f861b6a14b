#include "xml/ObjectStore.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "element/Elements.h"

namespace {

// An integer that counts its own destruction, to see what the store frees.
struct Counted : IntegerElem {
  explicit Counted(int v) : IntegerElem(v) {}
  ~Counted() override { ++destroyed; }
  static int destroyed;
};
int Counted::destroyed = 0;

// Methods: each records how it was called and answers an element the tree owns.
Element* gContext = nullptr;
ListElem* gArgs = nullptr;
int gCalls = 0;
Element* recordCall(Element* context, ListElem* args) {
  gContext = context;
  gArgs = args;
  ++gCalls;
  return context;
}
Element* answerBase(Element*, ListElem*) { return ObjectStore::getElement("sys.class.Base.tag"); }
Element* throwing(Element*, ListElem*) { throw ValueConversionException("boom"); }
// A constructor that gives the new object a member "made" from its first parameter.
Element* construct(Element* self, ListElem* args) {
  ObjectStore::setAttribute(self, "made", new IntegerElem(args->getChildRaw(0u)->intValue()));
  return self;
}

void clear(MapElem* container) {
  std::vector<std::string> names;
  std::unique_ptr<ElementIterator> it(container->iterator(false));
  while (it->hasNext()) {
    names.push_back(it->nextName());
    it->next();
  }
  for (const std::string& n : names) delete container->removeChild(n);
}

template <typename T>
T* put(Element* container, const std::string& name, T* child) {
  container->addChild(child, name);
  return child;
}

// Reaches the store during static initialisation, before the store's own
// translation unit (linked after this one) has run its initialisers.
const bool kTreeDuringStaticInit =
    ObjectStore::getElement("root.sys.class") == ObjectStore::getClasses() && ObjectStore::getClasses() != nullptr;

TEST(ObjectStoreStartUp, TheTreeIsThereForStaticInitialisers) { EXPECT_TRUE(kTreeDuringStaticInit); }

class ObjectStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gContext = nullptr;
    gArgs = nullptr;
    gCalls = 0;
    Counted::destroyed = 0;
    // Base <- Derived, both in the class container.
    base = put(ObjectStore::getClasses(), "Base", new CompositeElem(nullptr));
    put(base, "tag", new StringElem("base"));
    put(base, "greet", new OperationElem(answerBase));
    derived = put(ObjectStore::getClasses(), "Derived", new CompositeElem(base));
    put(derived, "greet", new OperationElem(recordCall));
  }
  void TearDown() override {
    clear(ObjectStore::getGlobals());
    clear(ObjectStore::getClasses());
    clear(ObjectStore::getRules());
  }
  CompositeElem* base = nullptr;
  CompositeElem* derived = nullptr;
};

TEST_F(ObjectStoreTest, TreeHasGlobalsClassesAndASelfAlias) {
  Element* root = ObjectStore::getRoot();
  EXPECT_EQ("root", root->getName());
  EXPECT_EQ(nullptr, root->getParent());
  EXPECT_EQ(ObjectStore::getGlobals(), ObjectStore::getElement("root.root.globals"));
  EXPECT_EQ(ObjectStore::getClasses(), ObjectStore::getElement("sys.class"));
  EXPECT_EQ(ObjectStore::getClasses(), ObjectStore::getElement(ObjectStore::getClassLocation()));
  EXPECT_EQ(ObjectStore::getGlobals(), ObjectStore::getElement(ObjectStore::getGlobalsLocation()));
  EXPECT_EQ("root.sys.class", ObjectStore::getClasses()->getFullName());
  // Full names resolve from the root through its alias.
  EXPECT_EQ(derived, ObjectStore::getElement(derived->getFullName()));
  // Rules are kept apart from the tree.
  EXPECT_EQ(nullptr, ObjectStore::getRules()->getParent());
  EXPECT_FALSE(root->hasChild("rules"));
  // Further instances share the one tree.
  ObjectStore another;
  EXPECT_EQ(root, another.getRoot());
}

TEST_F(ObjectStoreTest, PathsFailWithTheLookupsException) {
  EXPECT_THROW(ObjectStore::getElement(ObjectStore::getGlobals(), ""), NoSuchElementException);
  try {
    ObjectStore::getElement("sys.nothing.x");
    FAIL();
  } catch (const NoSuchElementException& e) {
    EXPECT_EQ("getChildRaw:nothingnot found", e.getMessage());
  }
  put(ObjectStore::getGlobals(), "n", new IntegerElem(1));
  EXPECT_THROW(ObjectStore::getObject("n.x"), NotSupportedException);
  EXPECT_THROW(ObjectStore::getElement(nullptr, "x"), NoSuchElementException);
}

TEST_F(ObjectStoreTest, IntermediateStepsAreEvaluatedAndTheLastOnlyByEvalElement) {
  MapElem* target = put(ObjectStore::getGlobals(), "target", new MapElem());
  IntegerElem* x = put(target, "x", new IntegerElem(4));
  put(ObjectStore::getGlobals(), "al", new AliasElem(target));
  EXPECT_EQ(x, ObjectStore::getObject("al.x"));

  OperationElem* op = put(target, "op", new OperationElem(recordCall));
  ListElem params;
  EXPECT_EQ(op, ObjectStore::getElement(ObjectStore::getGlobals(), "target.op"));
  EXPECT_EQ(0, gCalls);
  EXPECT_EQ(target, ObjectStore::evalElement(ObjectStore::getGlobals(), "target.op", &params));
  EXPECT_EQ(target, gContext);
  EXPECT_EQ(&params, gArgs);
  // A computed step that yields nothing is a missing element, not a crash.
  put(ObjectStore::getGlobals(), "none", new OperationElem([](Element*, ListElem*) -> Element* { return nullptr; }));
  EXPECT_THROW(ObjectStore::getObject("none.x"), NoSuchElementException);
}

TEST_F(ObjectStoreTest, CreateElementMakesMissingStepsOnce) {
  Element* c = ObjectStore::createElement(ObjectStore::getGlobals(), "a.b.c");
  EXPECT_TRUE(c->instanceOf("MapElem"));
  EXPECT_EQ("root.globals.a.b.c", c->getFullName());
  EXPECT_EQ(c, ObjectStore::createElement(ObjectStore::getGlobals(), "a.b.c"));
  EXPECT_EQ(c, ObjectStore::getObject("a.b.c"));
  EXPECT_EQ("a.b.c", ObjectStore::getName(c));

  // A step through a leaf fails without leaving a stray map behind.
  put(ObjectStore::getGlobals(), "leaf", new IntegerElem(1));
  EXPECT_THROW(ObjectStore::createElement(ObjectStore::getGlobals(), "leaf.x"), NotSupportedException);
  // A composite whose setter refuses the new step.
  CompositeElem* guarded = put(ObjectStore::getGlobals(), "g", new CompositeElem(nullptr));
  put(guarded, "_set_x", new BooleanElem(false));
  EXPECT_THROW(ObjectStore::createElement(guarded, "x.y"), NotSupportedException);
  EXPECT_FALSE(guarded->hasChild("x"));
}

TEST_F(ObjectStoreTest, NamesAreRelativeToGlobals) {
  MapElem* a = put(ObjectStore::getGlobals(), "a", new MapElem());
  IntegerElem* b = put(a, "b", new IntegerElem(2));
  EXPECT_EQ("a", ObjectStore::getName(a));
  EXPECT_EQ("a.b", ObjectStore::getName(b));
  try {
    ObjectStore::getName(ObjectStore::getGlobals());
    FAIL();
  } catch (const NotSupportedException& e) {
    EXPECT_EQ("Element is not an object: root.globals", e.getMessage());
  }
  IntegerElem loose(1);
  EXPECT_THROW(ObjectStore::getName(&loose), NotSupportedException);
  EXPECT_THROW(ObjectStore::getName(derived), NotSupportedException);
}

TEST_F(ObjectStoreTest, InstantiateRunsTheInheritedConstructor) {
  put(base, "instantiate", new OperationElem(construct));
  ListElem params;
  params.add(7);
  std::unique_ptr<Element> object(ObjectStore::instantiate("Derived", &params));
  auto* composite = dynamic_cast<CompositeElem*>(object.get());
  ASSERT_NE(nullptr, composite);
  EXPECT_EQ(derived, composite->getEnclosure());
  EXPECT_EQ(nullptr, object->getParent());
  EXPECT_EQ(7, object->getChildRaw("made")->intValue());
  EXPECT_TRUE(ObjectStore::instanceOf(object.get(), "Base"));
  EXPECT_EQ("base", ObjectStore::getAttribute(object.get(), "tag")->stringValue());
}

TEST_F(ObjectStoreTest, InstantiateWithoutConstructorAndWithAFailingOne) {
  std::unique_ptr<Element> plain(ObjectStore::instantiate(base, nullptr));
  EXPECT_EQ(0u, plain->getNumChildren());
  EXPECT_THROW(ObjectStore::instantiate("Nope", nullptr), NoSuchElementException);
  // A constructor failing otherwise than by a missing member passes its
  // exception on; the half-made object is freed.
  put(base, "instantiate", new OperationElem());
  EXPECT_THROW(ObjectStore::instantiate("Derived", nullptr), ObjectStoreException);
}

TEST_F(ObjectStoreTest, AttributesReplaceAndFreeTheirPreviousValue) {
  CompositeElem* obj = put(ObjectStore::getGlobals(), "obj", new CompositeElem(derived));
  ObjectStore::setAttribute("obj", "a", new Counted(1));
  ObjectStore::setAttribute(obj, "a", new Counted(2));
  EXPECT_EQ(1, Counted::destroyed);
  EXPECT_EQ(2, ObjectStore::getAttribute("obj", "a")->intValue());

  // Writing over a member the class holds leaves the class's member alone.
  ObjectStore::setAttribute(obj, "tag", new StringElem("own"));
  EXPECT_EQ("own", ObjectStore::getAttribute(obj, "tag")->stringValue());
  EXPECT_EQ("base", ObjectStore::getAttribute(base, "tag")->stringValue());

  // On globals itself, and a computed attribute evaluated with its holder.
  ObjectStore::setAttribute("g", new IntegerElem(9));
  EXPECT_EQ(9, ObjectStore::getAttribute("g")->intValue());
  put(obj, "self", new OperationElem(recordCall));
  EXPECT_EQ(obj, ObjectStore::getAttribute("obj", "self"));
  EXPECT_THROW(ObjectStore::getAttribute("obj", "missing"), NoSuchElementException);
}

TEST_F(ObjectStoreTest, RefusedOrHeldValuesAreNotLostOrStolen) {
  CompositeElem* obj = put(ObjectStore::getGlobals(), "obj", new CompositeElem(nullptr));
  put(obj, "_set_ro", new BooleanElem(false));
  // Refused by the setter: the store took the value over and frees it.
  ObjectStore::setAttribute(obj, "ro", new Counted(1));
  EXPECT_EQ(1, Counted::destroyed);
  EXPECT_FALSE(obj->hasChild("ro"));
  // A value that already has a container is refused and stays where it is.
  MapElem* other = put(ObjectStore::getGlobals(), "other", new MapElem());
  IntegerElem* held = put(other, "h", new IntegerElem(3));
  EXPECT_THROW(ObjectStore::setAttribute(obj, "h", held), ObjectStoreException);
  EXPECT_EQ(other, held->getParent());
  // Refused by a setter while held elsewhere: not ours to free.
  EXPECT_NO_THROW(ObjectStore::setAttribute(obj, "ro", held));
  EXPECT_EQ(held, other->getChildRaw("h"));
  EXPECT_THROW(ObjectStore::setAttribute(obj, "x", nullptr), ObjectStoreException);
}

TEST_F(ObjectStoreTest, MethodsAndRulesRunWithTheirObjectAndParameters) {
  CompositeElem* obj = put(ObjectStore::getGlobals(), "obj", new CompositeElem(derived));
  ListElem params;
  EXPECT_EQ(obj, ObjectStore::callMethod("obj.greet", &params));
  EXPECT_EQ(obj, gContext);
  EXPECT_EQ(&params, gArgs);
  EXPECT_EQ(obj, ObjectStore::callMethod("obj", "greet", nullptr));
  EXPECT_EQ(nullptr, gArgs);
  EXPECT_EQ(obj, ObjectStore::callMethod(obj, "greet", &params));
  EXPECT_EQ(3, gCalls);

  // Rules are looked up from globals.
  put(ObjectStore::getGlobals(), "rule", new OperationElem(recordCall));
  EXPECT_EQ(ObjectStore::getGlobals(), ObjectStore::callRule("rule", &params));
  EXPECT_THROW(ObjectStore::callMethod(obj, "absent", nullptr), NoSuchElementException);
}

TEST_F(ObjectStoreTest, SuperMethodsComeFromTheDefiningClassesSuperclass) {
  CompositeElem* obj = put(ObjectStore::getGlobals(), "obj", new CompositeElem(derived));
  Element* greet = derived->getChildRaw("greet");
  EXPECT_EQ("base", ObjectStore::callSuperMethod(greet, obj, nullptr)->stringValue());
  EXPECT_EQ("base", ObjectStore::callSuperMethod(greet, obj, "tag", nullptr)->stringValue());

  // Every failure arrives as NoSuchElementException.
  EXPECT_THROW(ObjectStore::callSuperMethod(greet, obj, "absent", nullptr), NoSuchElementException);
  put(base, "bad", new OperationElem(throwing));
  EXPECT_THROW(ObjectStore::callSuperMethod(greet, obj, "bad", nullptr), NoSuchElementException);
  Element* baseGreet = base->getChildRaw("greet");  // Base has no superclass
  EXPECT_THROW(ObjectStore::callSuperMethod(baseGreet, obj, nullptr), NoSuchElementException);
  MapElem* plain = put(ObjectStore::getGlobals(), "plain", new MapElem());
  Element* m = put(plain, "m", new OperationElem(recordCall));
  EXPECT_THROW(ObjectStore::callSuperMethod(m, obj, nullptr), NoSuchElementException);
  IntegerElem loose(1);
  EXPECT_THROW(ObjectStore::callSuperMethod(&loose, obj, nullptr), NoSuchElementException);
  EXPECT_THROW(ObjectStore::callSuperMethod(nullptr, obj, nullptr), NoSuchElementException);
  EXPECT_EQ(0, gCalls);
}

TEST_F(ObjectStoreTest, ChangeClassOnlyMovesDownTheHierarchy) {
  CompositeElem* obj = put(ObjectStore::getGlobals(), "obj", new CompositeElem(base));
  ObjectStore::changeClass(obj, "Base");
  EXPECT_EQ(base, obj->getEnclosure());
  ObjectStore::changeClass(obj, "Derived");
  EXPECT_EQ(derived, obj->getEnclosure());
  EXPECT_THROW(ObjectStore::changeClass(obj, "Base"), ClassCastException);
  EXPECT_EQ(derived, obj->getEnclosure());
  EXPECT_THROW(ObjectStore::changeClass(obj, "Nope"), ClassCastException);
  put(ObjectStore::getClasses(), "Flat", new MapElem());
  EXPECT_THROW(ObjectStore::changeClass(obj, "Flat"), ClassCastException);
  MapElem* notObject = put(ObjectStore::getGlobals(), "m", new MapElem());
  EXPECT_THROW(ObjectStore::changeClass(notObject, "Base"), ClassCastException);
  EXPECT_THROW(ObjectStore::changeClass(nullptr, "Base"), ClassCastException);
}

TEST_F(ObjectStoreTest, InstanceOfFollowsEnclosuresAndNeverThrows) {
  CompositeElem obj(derived);
  EXPECT_TRUE(ObjectStore::instanceOf(&obj, &obj));
  EXPECT_TRUE(ObjectStore::instanceOf(&obj, derived));
  EXPECT_TRUE(ObjectStore::instanceOf(&obj, base));
  EXPECT_FALSE(ObjectStore::instanceOf(base, derived));
  EXPECT_TRUE(ObjectStore::instanceOf(&obj, "Base"));
  EXPECT_THROW(ObjectStore::instanceOf(&obj, "Nope"), NoSuchElementException);
  IntegerElem leaf(1);
  EXPECT_TRUE(ObjectStore::instanceOf(&leaf, &leaf));
  EXPECT_FALSE(ObjectStore::instanceOf(&leaf, base));
  EXPECT_FALSE(ObjectStore::instanceOf(nullptr, base));
  // Enclosures that loop back end the walk.
  CompositeElem a(nullptr), b(&a);
  a.setEnclosure(&b);
  EXPECT_TRUE(ObjectStore::instanceOf(&a, &b));
  EXPECT_FALSE(ObjectStore::instanceOf(&a, base));
  a.setEnclosure(nullptr);
}

TEST_F(ObjectStoreTest, PrintListsTheTreeWithoutEnteringAliases) {
  clear(ObjectStore::getClasses());
  testing::internal::CaptureStdout();
  ObjectStore::print("");
  EXPECT_EQ(
      " root : \r\n"
      "    globals : \r\n"
      "    root : : root\r\n"
      "    sys : \r\n"
      "       class : \r\n",
      testing::internal::GetCapturedStdout());

  // Root and at most 25 levels below it.
  Element* deep = ObjectStore::createElement(
      ObjectStore::getGlobals(),
      "l1.l2.l3.l4.l5.l6.l7.l8.l9.l10.l11.l12.l13.l14.l15.l16.l17.l18.l19.l20.l21.l22.l23.l24.l25.l26");
  put(deep, "v", new IntegerElem(5));
  testing::internal::CaptureStdout();
  ObjectStore::print(">", "g", ObjectStore::getGlobals());
  const std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (size_t p = out.find("\r\n"); p != std::string::npos; p = out.find("\r\n", p + 1)) ++lines;
  EXPECT_EQ(26u, lines);
  EXPECT_EQ(0u, out.find("> g : \r\n"));
  EXPECT_NE(std::string::npos, out.find(" l25 : \r\n"));
  EXPECT_EQ(std::string::npos, out.find("l26"));

  testing::internal::CaptureStdout();
  IntegerElem leaf(3);
  ObjectStore::print("", "n", &leaf);
  EXPECT_EQ(" n : : 3\r\n", testing::internal::GetCapturedStdout());
}

}  // namespace
