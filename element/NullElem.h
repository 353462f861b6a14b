// The null value.
#pragma once

#include "element/TerminalElem.h"

class NullElem : public DataElem {
 public:
  static constexpr const char _type[] = "NullElem";

  NullElem();

  std::string stringValue() override;  // ""
  int intValue() override;             // NotSupportedException
  bool booleanValue() override;        // false
  std::string toString() override;     // ":NULL"
  Element* clone() override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  using Element::clone;
};
