#include "element/IntegerElem.h"

#include "element/TextConversion.h"

IntegerElem::IntegerElem(int value) : _value(value) {}

std::string IntegerElem::stringValue() { return iToString(_value); }
int IntegerElem::intValue() { return _value; }
bool IntegerElem::booleanValue() { return _value != 0; }
std::string IntegerElem::toString() { return Element::toString() + ": " + stringValue(); }
Element* IntegerElem::clone() { return new IntegerElem(_value); }
Element* IntegerElem::externalize(Element*) { return new IntegerElem(_value); }
void IntegerElem::accept(ElementVisitor* visitor) { visitor->visitorAtIntegerElem(this); }

bool IntegerElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
