// An object: a map of members with a link to its class (the enclosure), whose members it can
// list after its own and look up when it lacks one. Writes to member x can be guarded by a
// setter member "_set_x".
#pragma once

#include "element/MapElem.h"

class CompositeElem : public MapElem {
 public:
  static constexpr const char _type[] = "CompositeElem";

  // Walks the composite's own entries, then the enclosure's (and so on up a chain of composites).
  class ElementIteratorImpl : public ElementIterator {
   public:
    ElementIteratorImpl(CompositeElem* composite, ElementIterator* first);  // takes `first`
    ~ElementIteratorImpl() override;                                        // frees the iterator being walked

    bool hasNext() override;
    Element* next() override;
    Element* next(ListElem* args) override;
    std::string nextName() override;
    int nextIndex() override;

    // Moves on to the pending element's iterator; false when nothing is pending.
    bool nextIterator();

   private:
    ElementIterator* _current;  // owned
    Element* _pending;          // not owned
    CompositeElem* _composite;  // not owned
  };

  explicit CompositeElem(Element* enclosure);  // the enclosure is not owned; may be null

  Element* setEnclosure(Element* enclosure);  // returns the previous enclosure
  Element* getEnclosure();

  // Own entry, else the enclosure chain's; NoSuchElementException(name) when found nowhere.
  Element* getChildRaw(const std::string& name) override;
  Element* getChildRaw(unsigned int index) override;
  // deep: own entries then the enclosure's; otherwise the plain map iterator.
  ElementIterator* iterator(bool deep) override;
  // Guarded by "_set_" + name when such a member exists: the write happens only if the setter,
  // evaluated with this composite and a list holding the candidate, answers true; otherwise
  // null is returned and the candidate stays the caller's.
  Element* addChild(const std::string& name, Element* child) override;
  Element* addChild(unsigned int index, Element* child) override;
  Element* setChild(std::string name, Element* child) override;
  Element* setChild(unsigned int index, Element* child) override;
  Element* clone() override;        // same enclosure, own entries cloned
  std::string toString() override;  // "  <" + enclosure's full name + ">"
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  TARVELL_ELEMENT_USING(MapElem);

 private:
  // Evaluates the setter for `name`, if any: true when the write may go ahead.
  bool writeAllowed(const std::string& name, Element* child);

  Element* _enclosure;
};
