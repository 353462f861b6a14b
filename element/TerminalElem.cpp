#include "element/TerminalElem.h"

#include "element/TextConversion.h"

namespace {
std::string NameOf(Element* child) { return child != nullptr ? child->getName() : std::string(); }
}  // namespace

TerminalElem::TerminalElem() = default;

Element* TerminalElem::eval(Element*, ListElem*) { return this; }

Element* TerminalElem::getChildRaw(const std::string& name) {
  throw NotSupportedException("getChild(" + name + ") not supported on " + getFullName());
}

Element* TerminalElem::getChildRaw(unsigned int index) {
  throw NotSupportedException("getChild(" + iToString(index) + "int) not supported on " + getFullName());
}

ElementIterator* TerminalElem::iterator(bool) { throw NotSupportedException(); }

Element* TerminalElem::addChild(const std::string& name, Element* child) {
  throw NotSupportedException("addChild(" + NameOf(child) + "," + name + ") not supported on " + getFullName());
}

Element* TerminalElem::addChild(unsigned int index, Element* child) {
  throw NotSupportedException("addChild(" + NameOf(child) + "," + iToString(index) + ") not supported on " +
                              getFullName());
}

Element* TerminalElem::setChild(std::string name, Element* child) {
  throw NotSupportedException("setChild(" + NameOf(child) + "," + name + ") not supported on " + getFullName());
}

Element* TerminalElem::setChild(unsigned int index, Element* child) {
  throw NotSupportedException("setChild(" + NameOf(child) + "," + iToString(index) + ") not supported on " +
                              getFullName());
}

Element* TerminalElem::removeChild(const std::string& name) {
  throw NotSupportedException("removeChild(" + name + ") not supported on " + getFullName());
}

Element* TerminalElem::removeChild(unsigned int index) {
  throw NotSupportedException("removeChild(" + iToString(index) + ") not supported on " + getFullName());
}

void TerminalElem::removeChildren() {
  throw NotSupportedException("removeChildren() not supported on " + getFullName());
}

unsigned int TerminalElem::getNumChildren() {
  throw NotSupportedException("getNumChildren() not supported on " + getFullName());
}

bool TerminalElem::instanceOf(std::string className) { return className == _type || Element::instanceOf(className); }

DataElem::DataElem() = default;

bool DataElem::instanceOf(std::string className) { return className == _type || TerminalElem::instanceOf(className); }
