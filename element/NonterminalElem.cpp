#include "element/NonterminalElem.h"

NonterminalElem::NonterminalElem() = default;

std::string NonterminalElem::stringValue() {
  throw NotSupportedException("stringValue() not supported on " + getFullName());
}
int NonterminalElem::intValue() { throw NotSupportedException("intValue() not supported on " + getFullName()); }
bool NonterminalElem::booleanValue() {
  throw NotSupportedException("booleanValue() not supported on " + getFullName());
}

bool NonterminalElem::instanceOf(std::string className) { return className == _type || Element::instanceOf(className); }
