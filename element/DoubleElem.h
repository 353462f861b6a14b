// A 64-bit floating-point value. Its text is the value narrowed to float and printed with "%f".
#pragma once

#include "element/TerminalElem.h"

class DoubleElem : public DataElem {
 public:
  static constexpr const char _type[] = "DoubleElem";

  explicit DoubleElem(double value);

  double doubleValue();

  std::string stringValue() override;  // fToString((float)value), e.g. "1.100000"
  int intValue() override;             // truncated toward zero, clamped to the int range (NaN gives 0)
  bool booleanValue() override;        // value != 0.0
  std::string toString() override;     // ": " + stringValue()
  Element* clone() override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  using Element::clone;

 private:
  double _value;
};
