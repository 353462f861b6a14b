// A text value with an encoding label (the serialiser writes the label; no conversion here).
#pragma once

#include "element/TerminalElem.h"

class StringElem : public DataElem {
 public:
  static constexpr const char _type[] = "StringElem";

  explicit StringElem(std::string value);  // encoding ""
  StringElem(std::string value, std::string encoding);

  std::string encodingValue();  // a copy of the encoding label

  std::string stringValue() override;  // the text
  // StringToi of the text; else "true"/"y"/"yes" give 1 and "false"/"n"/"no" give 0 (any case);
  // else ValueConversionException("Cannot convert to integer" + text).
  int intValue() override;
  bool booleanValue() override;     // "true", "y" or "yes" in any case
  std::string toString() override;  // ": " + text
  Element* clone() override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  using Element::clone;

 private:
  std::string _value;
  std::string _encoding;
};
