#include "element/StringElem.h"

#include <cctype>

#include "element/TextConversion.h"

namespace {
std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

StringElem::StringElem(std::string value) : _value(std::move(value)) {}
StringElem::StringElem(std::string value, std::string encoding)
    : _value(std::move(value)), _encoding(std::move(encoding)) {}

std::string StringElem::encodingValue() { return _encoding; }
std::string StringElem::stringValue() { return _value; }

int StringElem::intValue() {
  try {
    return StringToi(_value);
  } catch (const ValueConversionException&) {
    const std::string word = LowerCase(_value);
    if (word == "true" || word == "y" || word == "yes") return 1;
    if (word == "false" || word == "n" || word == "no") return 0;
    throw ValueConversionException("Cannot convert to integer" + _value);
  }
}

bool StringElem::booleanValue() {
  const std::string word = LowerCase(_value);
  return word == "true" || word == "y" || word == "yes";
}

std::string StringElem::toString() { return Element::toString() + ": " + _value; }
Element* StringElem::clone() { return new StringElem(_value, _encoding); }
Element* StringElem::externalize(Element*) { return new StringElem(_value, _encoding); }
void StringElem::accept(ElementVisitor* visitor) { visitor->visitorAtStringElem(this); }

bool StringElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
