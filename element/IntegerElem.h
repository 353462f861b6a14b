// A signed 32-bit integer value.
#pragma once

#include "element/TerminalElem.h"

class IntegerElem : public DataElem {
 public:
  static constexpr const char _type[] = "IntegerElem";

  explicit IntegerElem(int value);

  std::string stringValue() override;  // "%d"
  int intValue() override;
  bool booleanValue() override;     // value != 0
  std::string toString() override;  // ": " + stringValue()
  Element* clone() override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  using Element::clone;

 private:
  int _value;
};
