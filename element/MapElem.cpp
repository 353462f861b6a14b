#include "element/MapElem.h"

#include <memory>

#include "element/TextConversion.h"

namespace {
void RequireElement(Element* child) {
  if (child == nullptr) throw ObjectStoreException("Null element");
}
}  // namespace

MapElem::ElementIteratorImpl::ElementIteratorImpl(MapElem* map) : _map(map), _position(map->_children.begin()) {}

bool MapElem::ElementIteratorImpl::hasNext() { return _position != _map->_children.end(); }

Element* MapElem::ElementIteratorImpl::next() {
  if (_position == _map->_children.end()) throw NoSuchElementException("MapElem::ElementIteratorImpl.next");
  Element* child = _map->getChildRaw(_position->first);
  ++_position;
  return child;
}

Element* MapElem::ElementIteratorImpl::next(ListElem* args) {
  if (_position == _map->_children.end()) throw NoSuchElementException("MapElem::ElementIteratorImpl.next");
  Element* child = _map->getChild(_position->first, args);
  ++_position;
  return child;
}

std::string MapElem::ElementIteratorImpl::nextName() {
  if (_position == _map->_children.end()) {
    throw NoSuchElementException("MapElem::ElementIteratorImpl.nextName");
  }
  return _position->first;
}

int MapElem::ElementIteratorImpl::nextIndex() { return StringToi(nextName()); }

MapElem::MapElem() = default;

MapElem::~MapElem() {
  for (auto& entry : _children) delete entry.second;
}

Element* MapElem::getChildRaw(const std::string& name) {
  auto found = _children.find(name);
  if (found == _children.end()) throw NoSuchElementException("getChildRaw:" + name + "not found");
  return found->second;
}

Element* MapElem::getChildRaw(unsigned int index) { return getChildRaw(iToString(index)); }

ElementIterator* MapElem::iterator(bool) { return new ElementIteratorImpl(this); }

Element* MapElem::addChild(const std::string& name, Element* child) {
  RequireElement(child);
  child->added(name, this);
  Element*& slot = _children[name];
  Element* previous = slot;
  slot = child;
  return previous;
}

Element* MapElem::addChild(unsigned int index, Element* child) { return addChild(iToString(index), child); }

Element* MapElem::setChild(std::string name, Element* child) {
  RequireElement(child);
  Element* replaced = getChildRaw(name);
  auto stored = _children.find(name);
  Element* own = stored != _children.end() ? stored->second : nullptr;
  if (child != own) child->checkAttachable(this);
  if (own != nullptr) own->removed(this);
  _children[name] = child;
  child->added(name, this);
  return replaced;
}

Element* MapElem::setChild(unsigned int index, Element* child) { return setChild(iToString(index), child); }

Element* MapElem::removeChild(const std::string& name) {
  auto found = _children.find(name);
  if (found == _children.end()) throw NoSuchElementException("MapElem::removeChild");
  Element* child = found->second;
  child->removed(this);
  _children.erase(found);
  return child;
}

Element* MapElem::removeChild(unsigned int index) { return removeChild(iToString(index)); }

void MapElem::removeChildren() {
  // Only own entries can be attached here, so only they are told; walking a class chain could
  // fail half-way and leave entries stored but detached.
  for (auto& entry : _children) entry.second->removed(this);
  _children.clear();
}

unsigned int MapElem::getNumChildren() { return static_cast<unsigned int>(_children.size()); }

Element* MapElem::clone() {
  std::unique_ptr<MapElem> copy(new MapElem());
  clone(copy.get());
  return copy.release();
}

Element* MapElem::clone(Element* copy) {
  Element::clone(copy);
  MapElem* map = dynamic_cast<MapElem*>(copy);
  if (map == nullptr) return copy;
  try {
    std::unique_ptr<ElementIterator> children(iterator(false));
    while (children->hasNext()) {
      std::string name = children->nextName();
      Element* child = children->next();
      Element* duplicate = child->clone();
      try {
        map->addChild(name, duplicate);
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

Element* MapElem::externalize(Element*) {
  std::unique_ptr<MapElem> copy(new MapElem());
  std::unique_ptr<ElementIterator> children(iterator(true));
  while (children->hasNext()) {
    std::string name = children->nextName();
    Element* child = children->next();
    if (!name.empty() && name[0] == '_') continue;
    if (copy->_children.count(name) != 0) continue;
    Element* external;
    try {
      external = child->externalize(this);
    } catch (const NotSupportedException&) {
      continue;  // computed members that cannot be copied stay behind
    }
    try {
      copy->addChild(name, external);
    } catch (...) {
      if (external->_parent == nullptr && external->_appendedTo == nullptr) delete external;
      throw;
    }
  }
  return copy.release();
}

void MapElem::accept(ElementVisitor* visitor) { visitor->visitorAtMapElem(this); }

bool MapElem::instanceOf(std::string className) { return className == _type || NonterminalElem::instanceOf(className); }

std::string MapElem::childrenToString() {
  std::string text = "<Map";
  std::unique_ptr<ElementIterator> children(iterator(true));
  while (children->hasNext()) {
    std::string name = children->nextName();
    text += "(" + name + " " + children->next()->toString() + ")";
  }
  return text + ">";
}
