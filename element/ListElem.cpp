#include "element/ListElem.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "element/BooleanElem.h"
#include "element/IntegerElem.h"
#include "element/StringElem.h"
#include "element/TextConversion.h"

namespace {
void RequireElement(Element* child) {
  if (child == nullptr) throw ObjectStoreException("Null element");
}

// atoi without its undefined behaviour on overflow: out-of-range values clamp.
int IndexFromName(const std::string& name) {
  long value = std::strtol(name.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
}  // namespace

ListElem::ListIterator::ListIterator(ListElem* list) : _list(list), _index(0) {}

bool ListElem::ListIterator::hasNext() { return _index >= 0 && static_cast<size_t>(_index) < _list->_children.size(); }

Element* ListElem::ListIterator::next() {
  Element* child = _list->getChildRaw(static_cast<unsigned int>(nextIndex()));
  ++_index;
  return child;
}

Element* ListElem::ListIterator::next(ListElem* args) {
  Element* child = _list->getChild(static_cast<unsigned int>(nextIndex()), args);
  ++_index;
  return child;
}

std::string ListElem::ListIterator::nextName() { return iToString(_index); }

int ListElem::ListIterator::nextIndex() {
  if (!hasNext()) throw NoSuchElementException("OutofRange");
  return _index;
}

ListElem::ListElem() = default;

ListElem::~ListElem() {
  for (Element* child : _children) delete child;
}

Element* ListElem::getChildRaw(unsigned int index) {
  if (index >= _children.size() || _children[index] == nullptr) {
    throw NoSuchElementException(static_cast<int>(index));
  }
  return _children[index];
}

Element* ListElem::getChildRaw(const std::string& name) {
  return getChildRaw(static_cast<unsigned int>(IndexFromName(name)));
}

ElementIterator* ListElem::iterator(bool) { return new ListIterator(this); }

Element* ListElem::addChild(unsigned int index, Element* child) {
  RequireElement(child);
  if (index > _children.size()) throw IndexOutOfBoundsException("Index out of bounds on AddChild");
  child->added(iToString(static_cast<int>(index)), this);
  _children.insert(_children.begin() + index, child);
  renameFrom(index);
  return nullptr;
}

Element* ListElem::addChild(const std::string& name, Element* child) {
  return addChild(static_cast<unsigned int>(IndexFromName(name)), child);
}

Element* ListElem::setChild(unsigned int index, Element* child) {
  RequireElement(child);
  if (index >= _children.size()) throw NoSuchElementException(static_cast<int>(index));
  Element* old = _children[index];
  if (child != old) child->checkAttachable(this);
  _children[index] = child;
  letGo(old);
  child->added(iToString(static_cast<int>(index)), this);
  return old;
}

Element* ListElem::setChild(std::string name, Element* child) {
  return setChild(static_cast<unsigned int>(IndexFromName(name)), child);
}

Element* ListElem::removeChild(unsigned int index) {
  if (index >= _children.size()) throw NoSuchElementException(static_cast<int>(index));
  Element* child = _children[index];
  _children.erase(_children.begin() + index);
  letGo(child);
  renameFrom(index);
  return child;
}

Element* ListElem::removeChild(const std::string& name) {
  return removeChild(static_cast<unsigned int>(IndexFromName(name)));
}

void ListElem::removeChildren() {
  for (Element* child : _children) letGo(child);
  _children.clear();
}

unsigned int ListElem::getNumChildren() { return static_cast<unsigned int>(_children.size()); }

Element* ListElem::clone() {
  std::unique_ptr<ListElem> copy(new ListElem());
  clone(copy.get());
  return copy.release();
}

Element* ListElem::clone(Element* copy) {
  Element::clone(copy);
  ListElem* list = dynamic_cast<ListElem*>(copy);
  if (list == nullptr) return copy;
  try {
    for (unsigned int i = 0; i < getNumChildren(); ++i) {
      Element* child = getChildRaw(i);
      Element* duplicate = child->clone();
      try {
        list->addChild(i, duplicate);
      } catch (...) {
        // A kind without a copy of its own hands back itself, which stays ours.
        if (duplicate != child) delete duplicate;
        throw;
      }
    }
  } catch (const NoSuchElementException&) {
  }
  return copy;
}

Element* ListElem::externalize(Element*) {
  std::unique_ptr<ListElem> copy(new ListElem());
  unsigned int k = 0;
  for (Element* child : _children) {
    Element* external;
    try {
      external = child->externalize(this);
    } catch (const NotSupportedException&) {
      continue;  // computed members that cannot be copied stay behind
    }
    try {
      copy->addChild(k, external);
    } catch (...) {
      if (external->_parent == nullptr && external->_appendedTo == nullptr) delete external;
      throw;
    }
    ++k;
  }
  return copy.release();
}

void ListElem::accept(ElementVisitor* visitor) { visitor->visitorAtListElem(this); }

bool ListElem::instanceOf(std::string className) {
  return className == _type || NonterminalElem::instanceOf(className);
}

ListElem* ListElem::add(bool value) { return add(static_cast<Element*>(new BooleanElem(value))); }
ListElem* ListElem::add(int value) { return add(static_cast<Element*>(new IntegerElem(value))); }
ListElem* ListElem::add(const char* value) {
  return add(static_cast<Element*>(new StringElem(value != nullptr ? value : "")));
}
ListElem* ListElem::add(std::string value) { return add(static_cast<Element*>(new StringElem(std::move(value)))); }

ListElem* ListElem::add(Element* element) {
  RequireElement(element);
  element->checkAttachable(this);
  _children.push_back(element);
  element->_appendedTo = this;
  return this;
}

std::string ListElem::childrenToString() {
  std::string text = "<List";
  for (Element* child : _children) text += " " + child->toString();
  return text + ">";
}

void ListElem::appendBorrowed(Element* element) { _children.push_back(element); }

void ListElem::releaseBorrowed(Element* element) {
  for (size_t i = _children.size(); i-- > 0;) {
    if (_children[i] == element) _children.erase(_children.begin() + i);
  }
}

void ListElem::renameFrom(unsigned int index) {
  for (size_t i = index; i < _children.size(); ++i) _children[i]->changeName(iToString(static_cast<int>(i)));
}

void ListElem::letGo(Element* child) {
  child->removed(this);
  if (child->_appendedTo == this) child->_appendedTo = nullptr;
}
