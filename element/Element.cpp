#include "element/Element.h"

#include <cstdio>
#include <memory>

#include "element/AliasElem.h"

Element::Element() : _parent(nullptr), _appendedTo(nullptr) {}

Element::~Element() = default;

Element* Element::eval(Element*, ListElem*) { return this; }

void* Element::objectValue() { throw NotSupportedException(); }
unsigned char* Element::binaryValue() { throw NotSupportedException(); }
unsigned int Element::binaryLength() { throw NotSupportedException(); }
std::string Element::toString() { return std::string(); }

void Element::checkAttachable(Element* parent) {
  if (_parent != nullptr || _appendedTo != nullptr) throw ObjectStoreException("Element already added");
  // Storing an element inside itself would make its container delete it twice.
  for (Element* up = parent; up != nullptr; up = up->_parent) {
    if (up == this) throw ObjectStoreException("Element cannot contain itself");
  }
}

void Element::added(std::string name, Element* parent) {
  checkAttachable(parent);
  _name = std::move(name);
  _parent = parent;
}

void Element::removed(Element* parent) {
  if (_parent == parent) {
    _name.clear();
    _parent = nullptr;
  }
}

std::string Element::getName() { return _name; }
Element* Element::getParent() { return _parent; }
Element* Element::clone() { return this; }

Element* Element::clone(Element* copy) {
  copy->_parent = nullptr;
  copy->_name.clear();
  return copy;
}

void Element::accept(ElementVisitor*) {}

bool Element::instanceOf(std::string className) { return className == _type; }

Element* Element::getChild(const std::string& name) { return getChildRaw(name)->eval(this, nullptr); }
Element* Element::getChild(unsigned int index) { return getChildRaw(index)->eval(this, nullptr); }
Element* Element::getChild(const std::string& name, ListElem* args) { return getChildRaw(name)->eval(this, args); }
Element* Element::getChild(unsigned int index, ListElem* args) { return getChildRaw(index)->eval(this, args); }

bool Element::hasChild(const std::string& name) {
  try {
    getChildRaw(name);
    return true;
  } catch (const NoSuchElementException&) {
    return false;
  }
}

bool Element::hasChild(unsigned int index) {
  try {
    getChildRaw(index);
    return true;
  } catch (const NoSuchElementException&) {
    return false;
  }
}

ElementIterator* Element::iterator() { return iterator(true); }
Element* Element::addChild(Element* child, std::string name) { return addChild(name, child); }
Element* Element::addChild(Element* child, unsigned int index) { return addChild(index, child); }
Element* Element::setChild(Element* child, std::string name) { return setChild(std::move(name), child); }
Element* Element::setChild(Element* child, unsigned int index) { return setChild(index, child); }
void Element::changeName(std::string name) { _name = std::move(name); }

std::string Element::getFullName() {
  std::string fullName = getName();
  for (Element* up = getParent(); up != nullptr; up = up->getParent()) {
    fullName = up->getName() + "." + fullName;
  }
  return fullName;
}

void Element::print(std::string label) { print(std::string(), label, this, 25); }

void Element::print(std::string indent, std::string label, Element* element, int levels) {
  if (element == nullptr) return;
  std::printf("%s %s : %s \r\n", indent.c_str(), label.c_str(), element->toString().c_str());
  if (levels - 1 < 0) {
    std::printf("MAX NUMBER OF LEVEL REACHED!\r\n");
    return;
  }
  // An alias may point at one of its own ancestors; never follow it.
  if (dynamic_cast<AliasElem*>(element) != nullptr) return;
  indent += "   ";
  try {
    std::unique_ptr<ElementIterator> children(element->iterator(true));
    while (children->hasNext()) {
      std::string name = children->nextName();
      print(indent, name, children->next(), levels - 1);
    }
  } catch (const Exception&) {
    // A leaf has no children to list.
  }
}
