#include "element/Exception.h"

#include <gtest/gtest.h>

#include "element/ElementVisitor.h"

namespace {

TEST(ExceptionTest, MessagesFromConstructors) {
  EXPECT_EQ(Exception().getMessage(), "General Exception");
  EXPECT_EQ(NotSupportedException().getMessage(), "General Exception");
  EXPECT_EQ(ObjectStoreException("Element already added").getMessage(), "Element already added");
  EXPECT_EQ(NoSuchElementException(-3).getMessage(), "-3");
  EXPECT_EQ(ClassCastException(42).getMessage(), "42");
  EXPECT_EQ(IndexOutOfBoundsException("x").getMessage(), "x");
}

TEST(ExceptionTest, CaughtByBaseKeepsMessage) {
  try {
    throw NoSuchElementException("missing");
  } catch (const ObjectStoreException& e) {
    EXPECT_EQ(e.getMessage(), "missing");
  }
  try {
    throw ValueConversionException("Illegal conversion");
  } catch (const Exception& e) {
    EXPECT_EQ(e.getMessage(), "Illegal conversion");
  }
  // Copying keeps the message.
  NumberFormatException original("n");
  NumberFormatException copy = original;
  EXPECT_EQ(copy.getMessage(), "n");
}

struct ExceptionVisitor : ElementVisitor {
  void visitorAtPersistentElem(PersistentElem*) override {}
  void visitorAtCompositeElem(CompositeElem*) override {}
  void visitorAtMapElem(MapElem*) override {}
  void visitorAtListElem(ListElem*) override {}
  void visitorAtIntegerElem(IntegerElem*) override {}
  void visitorAtBooleanElem(BooleanElem*) override {}
  void visitorAtDoubleElem(DoubleElem*) override {}
  void visitorAtStringElem(StringElem*) override {}
  void visitorAtBinaryElem(BinaryElem*) override {}
  void visitorAtNullElem(NullElem*) override {}
  void visitorAtObjectStoreException(ObjectStoreException* e) override { seen = e; }
  ObjectStoreException* seen = nullptr;
};

TEST(ExceptionTest, AcceptVisitsObjectStoreException) {
  ObjectStoreException e("boom");
  ExceptionVisitor visitor;
  e.accept(&visitor);
  EXPECT_EQ(visitor.seen, &e);
}

}  // namespace
