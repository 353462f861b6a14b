// Containers: elements with children, which refuse to be read as a single value.
#pragma once

#include "element/Element.h"

class NonterminalElem : public Element {
 public:
  static constexpr const char _type[] = "NonterminalElem";

  NonterminalElem();

  // NotSupportedException("stringValue() not supported on " + full name), and likewise.
  std::string stringValue() override;
  int intValue() override;
  bool booleanValue() override;
  bool instanceOf(std::string className) override;
};
