// Leaves: elements without children. TerminalElem refuses every child operation; DataElem is the
// base of the six value kinds.
#pragma once

#include "element/Element.h"

class TerminalElem : public Element {
 public:
  static constexpr const char _type[] = "TerminalElem";

  TerminalElem();

  // The leaf itself.
  Element* eval(Element* context, ListElem* args) override;

  // All refused with NotSupportedException naming the call and this element's full name,
  // e.g. "getChild(7int) not supported on req.count"; iterator() without a message.
  Element* getChildRaw(const std::string& name) override;
  Element* getChildRaw(unsigned int index) override;
  ElementIterator* iterator(bool deep) override;
  Element* addChild(const std::string& name, Element* child) override;
  Element* addChild(unsigned int index, Element* child) override;
  Element* setChild(std::string name, Element* child) override;
  Element* setChild(unsigned int index, Element* child) override;
  Element* removeChild(const std::string& name) override;
  Element* removeChild(unsigned int index) override;
  void removeChildren() override;
  unsigned int getNumChildren() override;

  bool instanceOf(std::string className) override;
  TARVELL_ELEMENT_USING(Element);
};

class DataElem : public TerminalElem {
 public:
  static constexpr const char _type[] = "DataElem";

  DataElem();

  bool instanceOf(std::string className) override;
};
