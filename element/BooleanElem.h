// A boolean value.
#pragma once

#include "element/TerminalElem.h"

class BooleanElem : public DataElem {
 public:
  static constexpr const char _type[] = "BooleanElem";

  explicit BooleanElem(bool value);
  // True when the lower-cased text is exactly "true", "yes" or "y"; false for anything else.
  explicit BooleanElem(const std::string& text);
  // Without this overload a literal would pick the bool constructor (pointer to bool).
  explicit BooleanElem(const char* text);

  std::string stringValue() override;  // "true" / "false"
  int intValue() override;             // 1 / 0
  bool booleanValue() override;
  std::string toString() override;  // ": " + stringValue()
  Element* clone() override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  using Element::clone;

 private:
  bool _value;
};
