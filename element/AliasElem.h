// A second name for an element held elsewhere. Forwards almost everything to its target, which
// it never owns.
#pragma once

#include "element/Element.h"

class AliasElem : public Element {
 public:
  explicit AliasElem(Element* target);

  Element* getTarget();

  Element* eval(Element* context, ListElem* args) override;
  Element* getChildRaw(const std::string& name) override;
  Element* getChildRaw(unsigned int index) override;
  ElementIterator* iterator(bool deep) override;  // the target's iterator(true)
  Element* addChild(const std::string& name, Element* child) override;
  Element* addChild(unsigned int index, Element* child) override;
  Element* setChild(std::string name, Element* child) override;
  Element* setChild(unsigned int index, Element* child) override;
  Element* removeChild(const std::string& name) override;
  Element* removeChild(unsigned int index) override;
  void removeChildren() override;
  unsigned int getNumChildren() override;
  std::string stringValue() override;
  int intValue() override;
  bool booleanValue() override;
  void* objectValue() override;
  std::string toString() override;  // ": " + the target's full name
  std::string getName() override;   // the target's
  Element* getParent() override;    // the target's
  Element* externalize(Element* context) override;
  bool instanceOf(std::string className) override;
  TARVELL_ELEMENT_USING(Element);

 private:
  Element* _target;
};
