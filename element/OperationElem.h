// Computed members: reading one through getChild runs a function with the holding container as
// context. A LazyEvalElem is replaced by a copy of its computed value when copied out.
#pragma once

#include "element/TerminalElem.h"

// The function behind an operation: (context, arguments) -> result.
typedef Element* (*OperationFunction)(Element* context, ListElem* args);

class OperationElem : public TerminalElem {
 public:
  OperationElem();                         // no function
  explicit OperationElem(ListElem* args);  // no function; the argument is ignored
  explicit OperationElem(OperationFunction function);

  // _function(context, args); ObjectStoreException("Null function Pointer") without one.
  Element* eval(Element* context, ListElem* args) override;
  // NotSupportedException("externalize not supported!")
  Element* externalize(Element* context) override;
  // NotSupportedException("stringValue() not supported!") and likewise.
  std::string stringValue() override;
  int intValue() override;
  bool booleanValue() override;

 protected:
  OperationFunction _function;
};

class LazyEvalElem : public OperationElem {
 public:
  LazyEvalElem();
  explicit LazyEvalElem(ListElem* args);  // the argument is ignored
  explicit LazyEvalElem(OperationFunction function);

  // eval(context, null)->externalize(context); NoSuchElementException on the way becomes
  // NotSupportedException().
  Element* externalize(Element* context) override;
};
