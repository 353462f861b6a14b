#include "element/NullElem.h"

NullElem::NullElem() = default;

std::string NullElem::stringValue() { return std::string(); }
int NullElem::intValue() { throw NotSupportedException(); }
bool NullElem::booleanValue() { return false; }
std::string NullElem::toString() { return ":NULL"; }
Element* NullElem::clone() { return new NullElem(); }
Element* NullElem::externalize(Element*) { return new NullElem(); }
void NullElem::accept(ElementVisitor* visitor) { visitor->visitorAtNullElem(this); }

bool NullElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
