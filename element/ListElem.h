// Children in order under their indices 0..n-1 (each child's name is its decimal index).
// The list owns its children, including those appended with add().
#pragma once

#include <string>
#include <vector>

#include "element/NonterminalElem.h"

class CompositeElem;

class ListElem : public NonterminalElem {
 public:
  static constexpr const char _type[] = "ListElem";

  // Walks the list by index. The list is not owned.
  class ListIterator : public ElementIterator {
   public:
    explicit ListIterator(ListElem* list);
    bool hasNext() override;
    Element* next() override;
    Element* next(ListElem* args) override;
    std::string nextName() override;  // decimal text of the index, even past the end
    int nextIndex() override;         // NoSuchElementException("OutofRange") past the end

   private:
    ListElem* _list;
    int _index;
  };

  ListElem();
  ~ListElem() override;  // deletes every child

  // NoSuchElementException(decimal index) at or past the end.
  Element* getChildRaw(unsigned int index) override;
  Element* getChildRaw(const std::string& name) override;  // by atoi(name)
  ElementIterator* iterator(bool deep) override;           // a ListElem::ListIterator
  // Inserts at index (n appends), renaming the children after it; returns null.
  // IndexOutOfBoundsException("Index out of bounds on AddChild") past the end.
  Element* addChild(unsigned int index, Element* child) override;
  Element* addChild(const std::string& name, Element* child) override;
  // Replaces the child at index; the old child is detached and returned.
  Element* setChild(unsigned int index, Element* child) override;
  Element* setChild(std::string name, Element* child) override;
  // Detaches and returns the child at index, renaming the children after it.
  Element* removeChild(unsigned int index) override;
  Element* removeChild(const std::string& name) override;
  // Detaches every child and forgets it without deleting it.
  void removeChildren() override;
  unsigned int getNumChildren() override;
  Element* clone() override;
  Element* clone(Element* copy) override;
  Element* externalize(Element* context) override;
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;
  TARVELL_ELEMENT_USING(NonterminalElem);

  // Append a new BooleanElem / IntegerElem / StringElem (encoding "") and return the list.
  ListElem* add(bool value);
  ListElem* add(int value);
  ListElem* add(const char* value);
  ListElem* add(std::string value);
  // Appends `element` without attaching it (its name and container stay as they are); the list
  // owns it from now on. ObjectStoreException("Element already added") if it already has a
  // container or a list already holds it.
  ListElem* add(Element* element);

  // "<List" + " " + toString() of each child + ">".
  std::string childrenToString();

 private:
  friend class CompositeElem;

  // Appends without taking ownership (a setter's argument list holds the candidate child this
  // way), and takes every occurrence of it out again without deleting it.
  void appendBorrowed(Element* element);
  void releaseBorrowed(Element* element);

  void renameFrom(unsigned int index);
  void letGo(Element* child);

  std::vector<Element*> _children;
};
