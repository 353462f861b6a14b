#include "element/CompositeElem.h"

#include <memory>

#include "element/ListElem.h"
#include "element/TextConversion.h"

CompositeElem::ElementIteratorImpl::ElementIteratorImpl(CompositeElem* composite, ElementIterator* first)
    : _current(first), _pending(composite->getEnclosure()), _composite(composite) {}

CompositeElem::ElementIteratorImpl::~ElementIteratorImpl() { delete _current; }

bool CompositeElem::ElementIteratorImpl::nextIterator() {
  delete _current;
  _current = nullptr;
  if (_pending == nullptr) return false;
  Element* pending = _pending;
  _pending = nullptr;
  _current = pending->iterator(true);
  return true;
}

bool CompositeElem::ElementIteratorImpl::hasNext() {
  if (_current == nullptr) return false;
  if (_current->hasNext()) return true;
  if (!nextIterator()) return false;
  return _current->hasNext();
}

Element* CompositeElem::ElementIteratorImpl::next() {
  if (_current == nullptr)
    throw NoSuchElementException("CompositeElem::ElementIteratorImpl exhausted on " + _composite->getFullName());
  try {
    return _current->next();
  } catch (const NoSuchElementException&) {
    if (!nextIterator()) throw;
  }
  return _current->next();
}

Element* CompositeElem::ElementIteratorImpl::next(ListElem* args) {
  if (_current == nullptr)
    throw NoSuchElementException("CompositeElem::ElementIteratorImpl exhausted on " + _composite->getFullName());
  try {
    return _current->next(args);
  } catch (const NoSuchElementException&) {
    if (!nextIterator()) throw;
  }
  return _current->next(args);
}

std::string CompositeElem::ElementIteratorImpl::nextName() {
  if (_current == nullptr)
    throw NoSuchElementException("CompositeElem::ElementIteratorImpl exhausted on " + _composite->getFullName());
  try {
    return _current->nextName();
  } catch (const NoSuchElementException&) {
    if (!nextIterator()) throw;
  }
  return _current->nextName();
}

int CompositeElem::ElementIteratorImpl::nextIndex() {
  if (_current == nullptr)
    throw NoSuchElementException("CompositeElem::ElementIteratorImpl exhausted on " + _composite->getFullName());
  try {
    return _current->nextIndex();
  } catch (const NoSuchElementException&) {
    if (!nextIterator()) throw;
  }
  return _current->nextIndex();
}

CompositeElem::CompositeElem(Element* enclosure) : _enclosure(enclosure) {}

Element* CompositeElem::setEnclosure(Element* enclosure) {
  Element* previous = _enclosure;
  _enclosure = enclosure;
  return previous;
}

Element* CompositeElem::getEnclosure() { return _enclosure; }

Element* CompositeElem::getChildRaw(const std::string& name) {
  try {
    return MapElem::getChildRaw(name);
  } catch (const NoSuchElementException&) {
  }
  if (_enclosure == nullptr) throw NoSuchElementException(name);
  try {
    return _enclosure->getChildRaw(name);
  } catch (const NotSupportedException&) {
    throw NoSuchElementException(name);
  }
}

Element* CompositeElem::getChildRaw(unsigned int index) { return getChildRaw(iToString(static_cast<int>(index))); }

ElementIterator* CompositeElem::iterator(bool deep) {
  if (!deep) return MapElem::iterator(false);
  std::unique_ptr<ElementIterator> own(MapElem::iterator(false));
  ElementIterator* walk = new ElementIteratorImpl(this, own.get());
  own.release();
  return walk;
}

bool CompositeElem::writeAllowed(const std::string& name, Element* child) {
  Element* setter;
  try {
    setter = getChildRaw("_set_" + name);
  } catch (const NoSuchElementException&) {
    return true;
  }
  // The argument list only borrows the candidate: it must survive the list whatever happens.
  ListElem args;
  args.appendBorrowed(child);
  try {
    Element* verdict = setter->eval(this, &args);
    bool allowed = verdict != nullptr && verdict->booleanValue();
    args.releaseBorrowed(child);
    return allowed;
  } catch (...) {
    args.releaseBorrowed(child);
    throw;
  }
}

Element* CompositeElem::addChild(const std::string& name, Element* child) {
  if (!writeAllowed(name, child)) return nullptr;
  return MapElem::addChild(name, child);
}

Element* CompositeElem::addChild(unsigned int index, Element* child) {
  return addChild(iToString(static_cast<int>(index)), child);
}

Element* CompositeElem::setChild(std::string name, Element* child) {
  if (!writeAllowed(name, child)) return nullptr;
  return MapElem::setChild(std::move(name), child);
}

Element* CompositeElem::setChild(unsigned int index, Element* child) {
  return setChild(iToString(static_cast<int>(index)), child);
}

Element* CompositeElem::clone() {
  std::unique_ptr<CompositeElem> copy(new CompositeElem(_enclosure));
  MapElem::clone(copy.get());
  return copy.release();
}

std::string CompositeElem::toString() {
  return "  <" + (_enclosure != nullptr ? _enclosure->getFullName() : std::string()) + ">";
}

void CompositeElem::accept(ElementVisitor* visitor) { visitor->visitorAtCompositeElem(this); }

bool CompositeElem::instanceOf(std::string className) { return className == _type || MapElem::instanceOf(className); }
