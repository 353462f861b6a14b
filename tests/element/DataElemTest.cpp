// The six value kinds and the refusals they share through TerminalElem.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

TEST(DataElemTest, StringIntValueTakesNumbersThenBooleanWords) {
  EXPECT_EQ(StringElem("#10").intValue(), 16);
  EXPECT_EQ(StringElem("Yes").intValue(), 1);
  EXPECT_EQ(StringElem("NO").intValue(), 0);
  EXPECT_EQ(StringElem("n").intValue(), 0);
  EXPECT_EQ(StringElem("-42").intValue(), -42);
  StringElem maybe("maybe");
  EXPECT_EQ(MessageOf([&] { maybe.intValue(); }), "Cannot convert to integermaybe");
  EXPECT_THROW(maybe.intValue(), ValueConversionException);
  EXPECT_EQ(maybe.stringValue(), "maybe");  // the text itself is not lower-cased
}

TEST(DataElemTest, StringBooleanValueIsOnlyTheTrueWords) {
  EXPECT_FALSE(StringElem("1").booleanValue());
  EXPECT_EQ(StringElem("1").intValue(), 1);
  EXPECT_TRUE(StringElem("TRUE").booleanValue());
  EXPECT_TRUE(StringElem("y").booleanValue());
  EXPECT_FALSE(StringElem("").booleanValue());
  EXPECT_FALSE(StringElem("yess").booleanValue());
}

TEST(DataElemTest, StringKeepsEncodingThroughCopies) {
  StringElem s("text", "UTF-8");
  EXPECT_EQ(s.toString(), ": text");
  std::unique_ptr<Element> clone(s.clone());
  std::unique_ptr<Element> external(s.externalize(nullptr));
  for (Element* copy : {clone.get(), external.get()}) {
    ASSERT_NE(copy, &s);
    auto* str = dynamic_cast<StringElem*>(copy);
    ASSERT_NE(str, nullptr);
    EXPECT_EQ(str->stringValue(), "text");
    EXPECT_EQ(str->encodingValue(), "UTF-8");
  }
  EXPECT_EQ(StringElem("x").encodingValue(), "");
}

TEST(DataElemTest, BooleanFromText) {
  EXPECT_TRUE(BooleanElem("Y").booleanValue());
  EXPECT_TRUE(BooleanElem(std::string("YES")).booleanValue());
  EXPECT_TRUE(BooleanElem("true").booleanValue());
  BooleanElem on("on");
  EXPECT_FALSE(on.booleanValue());
  EXPECT_EQ(on.stringValue(), "false");
  EXPECT_EQ(on.toString(), ": false");
  // A literal must not be taken as a non-null pointer, that is as true.
  EXPECT_FALSE(BooleanElem("no").booleanValue());
  EXPECT_FALSE(BooleanElem("1").booleanValue());
  EXPECT_EQ(BooleanElem(true).intValue(), 1);
  EXPECT_EQ(BooleanElem(false).intValue(), 0);
}

TEST(DataElemTest, IntegerConversions) {
  EXPECT_FALSE(IntegerElem(0).booleanValue());
  IntegerElem minus(-5);
  EXPECT_TRUE(minus.booleanValue());
  EXPECT_EQ(minus.toString(), ": -5");
  EXPECT_EQ(IntegerElem(INT_MIN).stringValue(), "-2147483648");
}

TEST(DataElemTest, DoubleTextIsNarrowedToFloat) {
  EXPECT_EQ(DoubleElem(1.1).stringValue(), "1.100000");
  EXPECT_EQ(DoubleElem(123456789.0).stringValue(), "123456792.000000");
  EXPECT_EQ(DoubleElem(-2.5).toString(), ": -2.500000");
  EXPECT_EQ(DoubleElem(1e300).stringValue(), "inf");
  EXPECT_EQ(DoubleElem(3.25).doubleValue(), 3.25);
}

TEST(DataElemTest, DoubleIntValueTruncatesAndClamps) {
  DoubleElem d(-2.7);
  EXPECT_EQ(d.intValue(), -2);
  EXPECT_TRUE(d.booleanValue());
  EXPECT_FALSE(DoubleElem(0.0).booleanValue());
  EXPECT_EQ(DoubleElem(1e12).intValue(), INT_MAX);
  EXPECT_EQ(DoubleElem(-1e12).intValue(), INT_MIN);
  EXPECT_EQ(DoubleElem(std::nan("")).intValue(), 0);
}

TEST(DataElemTest, NullValue) {
  NullElem n;
  EXPECT_EQ(n.stringValue(), "");
  EXPECT_FALSE(n.booleanValue());
  EXPECT_EQ(MessageOf([&] { n.intValue(); }), "General Exception");
  EXPECT_EQ(n.toString(), ":NULL");
  std::unique_ptr<Element> copy(n.clone());
  EXPECT_NE(copy.get(), &n);
  EXPECT_TRUE(copy->instanceOf("NullElem"));
}

TEST(DataElemTest, BinaryOwnsItsCopy) {
  unsigned char bytes[] = {1, 2, 3};
  BinaryElem b(bytes, 3);
  bytes[0] = 9;  // the element made its own copy
  ASSERT_EQ(b.binaryLength(), 3u);
  EXPECT_EQ(b.binaryValue()[0], 1);
  EXPECT_EQ(b.toString(), "BinaryElem");
  std::unique_ptr<Element> external(b.externalize(nullptr));
  ASSERT_NE(external.get(), &b);
  ASSERT_EQ(external->binaryLength(), 3u);
  EXPECT_NE(external->binaryValue(), b.binaryValue());
  EXPECT_EQ(std::memcmp(external->binaryValue(), b.binaryValue(), 3), 0);
  EXPECT_EQ(b.clone(), &b);
  EXPECT_THROW(b.stringValue(), NotSupportedException);
  EXPECT_THROW(b.intValue(), NotSupportedException);
  EXPECT_THROW(b.booleanValue(), NotSupportedException);
}

TEST(DataElemTest, BinaryEmptyAndAdopted) {
  BinaryElem none(static_cast<const unsigned char*>(nullptr), 5);
  EXPECT_EQ(none.binaryLength(), 0u);
  EXPECT_EQ(none.binaryValue(), nullptr);
  std::unique_ptr<Element> external(none.externalize(nullptr));
  EXPECT_EQ(external->binaryLength(), 0u);

  auto* buffer = static_cast<unsigned char*>(std::malloc(4));
  std::memcpy(buffer, "abcd", 4);
  BinaryElem adopted(buffer, 4, true);  // freed by the element (LSan checks)
  EXPECT_EQ(adopted.binaryValue(), buffer);
  EXPECT_EQ(adopted.binaryLength(), 4u);
}

TEST(DataElemTest, ChildOperationsOnLeavesNameTheCallAndTheElement) {
  MapElem req;
  req.changeName("req");
  IntegerElem* count = new IntegerElem(3);
  req.addChild("count", count);
  IntegerElem other(1);
  other.changeName("o");
  EXPECT_EQ(MessageOf([&] { count->getChildRaw(7u); }), "getChild(7int) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->getChildRaw("k"); }), "getChild(k) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->addChild("k", &other); }), "addChild(o,k) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->addChild(2u, &other); }), "addChild(o,2) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->setChild("k", &other); }), "setChild(o,k) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->setChild(2u, &other); }), "setChild(o,2) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->removeChild("k"); }), "removeChild(k) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->removeChild(4u); }), "removeChild(4) not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->removeChildren(); }), "removeChildren() not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->getNumChildren(); }), "getNumChildren() not supported on req.count");
  EXPECT_EQ(MessageOf([&] { count->iterator(true); }), "General Exception");
  EXPECT_EQ(other.getParent(), nullptr);
}

TEST(DataElemTest, LeafEvalIsItself) {
  StringElem s("x");
  EXPECT_EQ(s.eval(nullptr, nullptr), &s);
}

struct KindRecorder : ElementVisitor {
  void visitorAtPersistentElem(PersistentElem*) override { seen += "Persistent "; }
  void visitorAtCompositeElem(CompositeElem*) override { seen += "Composite "; }
  void visitorAtMapElem(MapElem*) override { seen += "Map "; }
  void visitorAtListElem(ListElem*) override { seen += "List "; }
  void visitorAtIntegerElem(IntegerElem*) override { seen += "Integer "; }
  void visitorAtBooleanElem(BooleanElem*) override { seen += "Boolean "; }
  void visitorAtDoubleElem(DoubleElem*) override { seen += "Double "; }
  void visitorAtStringElem(StringElem*) override { seen += "String "; }
  void visitorAtBinaryElem(BinaryElem*) override { seen += "Binary "; }
  void visitorAtNullElem(NullElem*) override { seen += "Null "; }
  void visitorAtObjectStoreException(ObjectStoreException*) override { seen += "Exception "; }
  std::string seen;
};

TEST(DataElemTest, EveryKindVisitsItsOwnOperation) {
  KindRecorder visitor;
  StringElem s("a");
  IntegerElem i(1);
  BooleanElem b(true);
  DoubleElem d(1.0);
  BinaryElem bin(static_cast<const unsigned char*>(nullptr), 0);
  NullElem n;
  MapElem m;
  ListElem l;
  CompositeElem c(nullptr);
  AliasElem a(&m);
  OperationElem op;
  LazyEvalElem lazy;
  for (Element* e : std::initializer_list<Element*>{&s, &i, &b, &d, &bin, &n, &m, &l, &c, &a, &op, &lazy}) {
    e->accept(&visitor);
  }
  EXPECT_EQ(visitor.seen, "String Integer Boolean Double Binary Null Map List Composite ");
}

}  // namespace
