// Children under unique names, kept in byte-wise name order. The map owns its children.
#pragma once

#include <map>
#include <string>

#include "element/NonterminalElem.h"

class MapElem : public NonterminalElem {
 public:
  static constexpr const char _type[] = "MapElem";

  // Walks the map's own entries in name order. The map is not owned.
  class ElementIteratorImpl : public ElementIterator {
   public:
    explicit ElementIteratorImpl(MapElem* map);
    bool hasNext() override;
    Element* next() override;
    Element* next(ListElem* args) override;
    std::string nextName() override;
    int nextIndex() override;  // StringToi(nextName())

   private:
    MapElem* _map;
    std::map<std::string, Element*>::iterator _position;
  };

  MapElem();
  ~MapElem() override;  // deletes every child

  // NoSuchElementException("getChildRaw:" + name + "not found") when missing.
  Element* getChildRaw(const std::string& name) override;
  Element* getChildRaw(unsigned int index) override;  // by the decimal text of index
  ElementIterator* iterator(bool deep) override;      // a MapElem::ElementIteratorImpl
  // Attaches child under name; returns the element stored there before (or null), which is
  // neither detached nor deleted: the caller owns it.
  Element* addChild(const std::string& name, Element* child) override;
  Element* addChild(unsigned int index, Element* child) override;
  // Replaces an existing child (NoSuchElementException if there is none); the replaced child
  // is detached and returned.
  Element* setChild(std::string name, Element* child) override;
  Element* setChild(unsigned int index, Element* child) override;
  // Detaches and returns the child; NoSuchElementException("MapElem::removeChild") if missing.
  Element* removeChild(const std::string& name) override;
  Element* removeChild(unsigned int index) override;
  // Detaches every child and forgets it without deleting it.
  void removeChildren() override;
  unsigned int getNumChildren() override;
  Element* clone() override;
  Element* clone(Element* copy) override;
  // A new MapElem: children copied by their own externalize(), names beginning "_" dropped,
  // computed members that refuse to be copied left out.
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  TARVELL_ELEMENT_USING(NonterminalElem);

  // "<Map(name : value)...>" over iterator(true).
  std::string childrenToString();

 private:
  std::map<std::string, Element*> _children;
};
