#include "element/OperationElem.h"

OperationElem::OperationElem() : _function(nullptr) {}
OperationElem::OperationElem(ListElem*) : _function(nullptr) {}
OperationElem::OperationElem(OperationFunction function) : _function(function) {}

Element* OperationElem::eval(Element* context, ListElem* args) {
  if (_function == nullptr) throw ObjectStoreException("Null function Pointer");
  return _function(context, args);
}

Element* OperationElem::externalize(Element*) { throw NotSupportedException("externalize not supported!"); }
std::string OperationElem::stringValue() { throw NotSupportedException("stringValue() not supported!"); }
int OperationElem::intValue() { throw NotSupportedException("intValue() not supported!"); }
bool OperationElem::booleanValue() { throw NotSupportedException("booleanValue() not supported!"); }

LazyEvalElem::LazyEvalElem() = default;
LazyEvalElem::LazyEvalElem(ListElem*) {}
LazyEvalElem::LazyEvalElem(OperationFunction function) : OperationElem(function) {}

Element* LazyEvalElem::externalize(Element* context) {
  try {
    Element* value = eval(context, nullptr);
    if (value == nullptr) throw NotSupportedException();
    return value->externalize(context);
  } catch (const NoSuchElementException&) {
    throw NotSupportedException();
  }
}
