#include "element/BooleanElem.h"

#include <cctype>

namespace {
bool IsTrueWord(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text == "true" || text == "yes" || text == "y";
}
}  // namespace

BooleanElem::BooleanElem(bool value) : _value(value) {}
BooleanElem::BooleanElem(const std::string& text) : _value(IsTrueWord(text)) {}
BooleanElem::BooleanElem(const char* text) : _value(text != nullptr && IsTrueWord(text)) {}

std::string BooleanElem::stringValue() { return _value ? "true" : "false"; }
int BooleanElem::intValue() { return _value ? 1 : 0; }
bool BooleanElem::booleanValue() { return _value; }
std::string BooleanElem::toString() { return Element::toString() + ": " + stringValue(); }
Element* BooleanElem::clone() { return new BooleanElem(_value); }
Element* BooleanElem::externalize(Element*) { return new BooleanElem(_value); }
void BooleanElem::accept(ElementVisitor* visitor) { visitor->visitorAtBooleanElem(this); }

bool BooleanElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
