#include "element/OperationElem.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "element/Elements.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

Element* ReturnContext(Element* context, ListElem*) { return context; }

Element* FirstArgument(Element*, ListElem* args) { return args->getChildRaw(0u); }

Element* Missing(Element*, ListElem*) { throw NoSuchElementException("nothing"); }

TEST(OperationElemTest, GetChildRunsTheFunctionWithTheContainer) {
  MapElem m;
  m.addChild("self", new OperationElem(&ReturnContext));
  EXPECT_EQ(m.getChild("self"), &m);
  m.addChild("first", new OperationElem(&FirstArgument));
  ListElem args;
  args.add(42);
  EXPECT_EQ(m.getChild("first", &args)->intValue(), 42);
  std::unique_ptr<ElementIterator> it(m.iterator(false));
  EXPECT_EQ(it->next(&args)->intValue(), 42);
}

TEST(OperationElemTest, WithoutAFunction) {
  OperationElem op;
  EXPECT_EQ(MessageOf([&] { op.eval(nullptr, nullptr); }), "Null function Pointer");
  ListElem ignored;
  OperationElem fromList(&ignored);
  EXPECT_THROW(fromList.eval(nullptr, nullptr), ObjectStoreException);
}

TEST(OperationElemTest, RefusesValuesAndCopies) {
  OperationElem op(&ReturnContext);
  EXPECT_EQ(MessageOf([&] { op.stringValue(); }), "stringValue() not supported!");
  EXPECT_EQ(MessageOf([&] { op.intValue(); }), "intValue() not supported!");
  EXPECT_EQ(MessageOf([&] { op.booleanValue(); }), "booleanValue() not supported!");
  EXPECT_EQ(MessageOf([&] { op.externalize(nullptr); }), "externalize not supported!");
  EXPECT_EQ(op.toString(), "");
  EXPECT_EQ(op.clone(), &op);
}

Element* TheValue(Element* context, ListElem*) { return context->getChildRaw("value"); }

TEST(OperationElemTest, LazyMemberIsCopiedAsItsValue) {
  MapElem m;
  m.addChild("value", new StringElem("v"));
  m.addChild("lazy", new LazyEvalElem(&TheValue));
  std::unique_ptr<Element> copy(m.externalize(nullptr));
  EXPECT_EQ(copy->getChildRaw("lazy")->stringValue(), "v");
  EXPECT_NE(copy->getChildRaw("lazy"), m.getChildRaw("value"));
}

TEST(OperationElemTest, LazyFailures) {
  LazyEvalElem missing(&Missing);
  EXPECT_EQ(MessageOf([&] { missing.externalize(nullptr); }), "General Exception");
  EXPECT_THROW(missing.externalize(nullptr), NotSupportedException);
  LazyEvalElem none;
  EXPECT_EQ(MessageOf([&] { none.externalize(nullptr); }), "Null function Pointer");
}

}  // namespace
