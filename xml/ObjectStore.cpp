#include "xml/ObjectStore.h"

#include <cstdio>
#include <memory>
#include <unordered_set>

#include "element/Elements.h"

namespace {

// The shared tree. It is built on first use, so a static initialiser in any
// translation unit may reach the store before this file's own statics run, and
// it is destroyed at exit with everything placed in it.
struct Tree {
  std::unique_ptr<MapElem> root;
  MapElem* globals = nullptr;
  MapElem* sys = nullptr;
  MapElem* classes = nullptr;
  std::unique_ptr<MapElem> rules;
  const std::string classLocation = "sys.class";
  const std::string globalsLocation = "globals";

  Tree() : root(new MapElem()), rules(new MapElem()) {
    root->changeName("root");
    try {
      std::unique_ptr<Element> self(new AliasElem(root.get()));
      root->addChild("root", self.get());
      self.release();
      std::unique_ptr<MapElem> g(new MapElem());
      root->addChild("globals", g.get());
      globals = g.release();
      std::unique_ptr<MapElem> s(new MapElem());
      root->addChild("sys", s.get());
      sys = s.release();
      std::unique_ptr<MapElem> c(new MapElem());
      sys->addChild("class", c.get());
      classes = c.release();
    } catch (const Exception&) {
      std::fputs("Exception initializing ObjectStore", stderr);
    }
  }
};

Tree& tree() {
  static Tree t;
  return t;
}

// Null stands in for a missing container so a half-built tree refuses lookups
// instead of crashing.
Element* requireContainer(Element* e, const char* what) {
  if (e == nullptr) throw NoSuchElementException(what);
  return e;
}

// Walks path from start; the last child is returned raw (evaluate == false) or
// evaluated with params and the element of the last step as context.
Element* walk(Element* start, const std::string& path, bool evaluate, ListElem* params) {
  Element* current = start;
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type dot = path.find('.', pos);
    const std::string segment = path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    // A computed step may yield nothing; report the step rather than crash.
    if (current == nullptr) throw NoSuchElementException(segment);
    Element* child = current->getChildRaw(segment);
    if (dot == std::string::npos) {
      return evaluate ? child->eval(current, params) : child;
    }
    current = child->eval(current, nullptr);
    pos = dot + 1;
  }
}

void printElement(const std::string& indent, const std::string& name, Element* element, int levels) {
  if (element == nullptr) return;
  std::printf("%s %s : %s\r\n", indent.c_str(), name.c_str(), element->toString().c_str());
  // Aliases are never entered: the root holds an alias of itself.
  if (levels < 1 || dynamic_cast<AliasElem*>(element) != nullptr) return;
  const std::string deeper = indent + "   ";
  try {
    std::unique_ptr<ElementIterator> it(element->iterator(true));
    while (it->hasNext()) {
      const std::string childName = it->nextName();
      Element* child = it->next();
      printElement(deeper, childName, child, levels - 1);
    }
  } catch (const Exception&) {
    // A leaf refuses an iterator; its line is all there is to print.
  }
}

}  // namespace

ObjectStore::ObjectStore() { tree(); }

Element* ObjectStore::getRoot() { return tree().root.get(); }
MapElem* ObjectStore::getGlobals() { return tree().globals; }
MapElem* ObjectStore::getClasses() { return tree().classes; }
MapElem* ObjectStore::getRules() { return tree().rules.get(); }
const std::string& ObjectStore::getClassLocation() { return tree().classLocation; }
const std::string& ObjectStore::getGlobalsLocation() { return tree().globalsLocation; }

Element* ObjectStore::getElement(const std::string& path) { return getElement(getRoot(), path); }

Element* ObjectStore::getElement(Element* start, const std::string& path) { return walk(start, path, false, nullptr); }

Element* ObjectStore::evalElement(Element* start, const std::string& path, ListElem* params) {
  return walk(start, path, true, params);
}

Element* ObjectStore::createElement(Element* start, const std::string& path) {
  Element* current = start;
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type dot = path.find('.', pos);
    const std::string segment = path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (current == nullptr) throw NoSuchElementException(segment);
    Element* next = nullptr;
    try {
      next = current->getChild(segment);
    } catch (const NoSuchElementException&) {
      std::unique_ptr<MapElem> made(new MapElem());
      current->addChild(made.get(), segment);
      // A composite's setter may refuse the new step; then nothing holds it.
      if (made->getParent() == nullptr) {
        throw NotSupportedException("createElement: " + segment + " refused");
      }
      next = made.release();
    }
    if (dot == std::string::npos) return next;
    current = next;
    pos = dot + 1;
  }
}

Element* ObjectStore::getObject(const std::string& path) {
  return evalElement(requireContainer(getGlobals(), "globals"), path, nullptr);
}

std::string ObjectStore::getName(Element* object) {
  if (object == nullptr) throw NotSupportedException("Element is not an object: ");
  Element* globals = getGlobals();
  std::string name = object->getName();
  for (Element* parent = object->getParent();; parent = parent->getParent()) {
    if (parent == nullptr) throw NotSupportedException("Element is not an object: " + name);
    if (parent == globals) return name;
    name = parent->getName() + "." + name;
  }
}

Element* ObjectStore::instantiate(const std::string& className, ListElem* params) {
  Element* cls = requireContainer(getClasses(), "class")->getChildRaw(className);
  return instantiate(cls, params);
}

Element* ObjectStore::instantiate(Element* cls, ListElem* params) {
  std::unique_ptr<CompositeElem> object(new CompositeElem(cls));
  try {
    callMethod(object.get(), "instantiate", params);
  } catch (const NoSuchElementException&) {
    // A class chain without a constructor makes a plain object.
  }
  return object.release();
}

Element* ObjectStore::getAttribute(const std::string& objName, const std::string& attribName) {
  return getAttribute(getObject(objName), attribName);
}

Element* ObjectStore::getAttribute(Element* object, const std::string& attribName) {
  requireContainer(object, attribName.c_str());
  return object->getChildRaw(attribName)->eval(object, nullptr);
}

Element* ObjectStore::getAttribute(const std::string& attribName) {
  return getAttribute(requireContainer(getGlobals(), "globals"), attribName);
}

void ObjectStore::setAttribute(const std::string& objName, const std::string& attribName, Element* value) {
  setAttribute(getObject(objName), attribName, value);
}

void ObjectStore::setAttribute(Element* object, const std::string& attribName, Element* value) {
  requireContainer(object, attribName.c_str());
  if (value == nullptr) throw ObjectStoreException("setAttribute: no value for " + attribName);
  const bool wasFree = value->getParent() == nullptr;
  Element* previous = object->addChild(value, attribName);
  Element* holder = value->getParent();
  if (holder == nullptr) {
    // A setter refused the write: the store took the value over, so it
    // must not outlive the call.
    if (wasFree) delete value;
    return;
  }
  // Only a value the object itself held is ours to destroy; a member found
  // through the class stays with the class.
  if (previous != nullptr && previous != value && previous->getParent() == holder) {
    delete previous;
  }
}

void ObjectStore::setAttribute(const std::string& attribName, Element* value) {
  setAttribute(requireContainer(getGlobals(), "globals"), attribName, value);
}

Element* ObjectStore::callRule(const std::string& ruleName, ListElem* params) {
  return evalElement(requireContainer(getGlobals(), "globals"), ruleName, params);
}

Element* ObjectStore::callMethod(const std::string& path, ListElem* params) {
  return evalElement(requireContainer(getGlobals(), "globals"), path, params);
}

Element* ObjectStore::callMethod(const std::string& objName, const std::string& method, ListElem* params) {
  return callMethod(getObject(objName), method, params);
}

Element* ObjectStore::callMethod(Element* object, const std::string& method, ListElem* params) {
  requireContainer(object, method.c_str());
  return object->getChildRaw(method)->eval(object, params);
}

Element* ObjectStore::callSuperMethod(Element* method, Element* self, const std::string& name, ListElem* params) {
  try {
    CompositeElem* definer = method == nullptr ? nullptr : dynamic_cast<CompositeElem*>(method->getParent());
    Element* super = definer == nullptr ? nullptr : definer->getEnclosure();
    if (super == nullptr) throw NoSuchElementException();
    return super->getChildRaw(name)->eval(self, params);
  } catch (const Exception&) {
    throw NoSuchElementException();
  }
}

Element* ObjectStore::callSuperMethod(Element* method, Element* self, ListElem* params) {
  if (method == nullptr) throw NoSuchElementException();
  return callSuperMethod(method, self, method->getName(), params);
}

void ObjectStore::changeClass(Element* object, std::string className) {
  CompositeElem* target = dynamic_cast<CompositeElem*>(object);
  Element* found = nullptr;
  try {
    found = requireContainer(getClasses(), "class")->getChildRaw(className);
  } catch (const Exception&) {
    throw ClassCastException("changeClass: no class " + className);
  }
  CompositeElem* cls = dynamic_cast<CompositeElem*>(found);
  if (target == nullptr || cls == nullptr) {
    throw ClassCastException("changeClass: not an object of a class: " + className);
  }
  if (!instanceOf(cls, target->getEnclosure())) {
    throw ClassCastException("changeClass: " + className + " does not descend from the object's class");
  }
  target->setEnclosure(cls);
}

bool ObjectStore::instanceOf(Element* object, const std::string& className) {
  Element* cls = requireContainer(getClasses(), "class")->getChildRaw(className);
  return instanceOf(object, cls);
}

bool ObjectStore::instanceOf(Element* a, Element* b) {
  if (a == b) return true;
  // Enclosures are plain links; a chain that loops back must end, not spin.
  std::unordered_set<const Element*> seen;
  Element* current = a;
  try {
    while (CompositeElem* c = dynamic_cast<CompositeElem*>(current)) {
      if (!seen.insert(c).second) return false;
      current = c->getEnclosure();
      if (current == nullptr) return false;
      if (current == b) return true;
    }
  } catch (...) {
    return false;
  }
  return false;
}

void ObjectStore::print(std::string indent) { print(indent, "root", getRoot()); }

void ObjectStore::print(std::string indent, std::string name, Element* element) {
  printElement(indent, name, element, 25);
}

// The program-wide instance; constructing it builds the tree at start-up.
class ObjectStore ObjectStore;
