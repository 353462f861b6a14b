// A small object system over the element tree: objects live under "globals",
// classes under "sys.class"; an object is a CompositeElem whose enclosure is
// its class, and a method runs by evaluating its element with the object as
// context and a ListElem of parameters.
#pragma once

#include <string>

class Element;
class ListElem;
class MapElem;

class ObjectStore {
 public:
  // Makes sure the shared tree exists. Every instance shares the same tree.
  ObjectStore();

  // The root ("root"); it holds "globals", "sys" and an alias "root" of itself.
  static Element* getRoot();
  // The object container ("globals"), the class container ("sys.class") and
  // the rule container (not attached to the tree). Not owned by the caller.
  static MapElem* getGlobals();
  static MapElem* getClasses();
  static MapElem* getRules();
  // Dotted paths of the class and object containers from the root.
  static const std::string& getClassLocation();
  static const std::string& getGlobalsLocation();

  // The element at the end of a dotted path, not evaluated. Intermediate steps
  // are evaluated, so an alias leads to its target. Missing steps throw the
  // exception of the element's getChildRaw.
  static Element* getElement(const std::string& path);
  static Element* getElement(Element* start, const std::string& path);
  // As getElement, with the last step evaluated with params.
  static Element* evalElement(Element* start, const std::string& path, ListElem* params);
  // As getElement, creating each missing step as an empty MapElem.
  static Element* createElement(Element* start, const std::string& path);
  // evalElement from "globals" with no parameters.
  static Element* getObject(const std::string& path);
  // The object's dotted name relative to "globals"; NotSupportedException
  // "Element is not an object: ..." for an element outside it.
  static std::string getName(Element* object);

  // A new object of the class (owned by the caller, placed nowhere) after its
  // "instantiate" method ran; a class without that method is not an error.
  static Element* instantiate(const std::string& className, ListElem* params);
  static Element* instantiate(Element* cls, ListElem* params);

  // The object's child attribName evaluated with the object as context.
  static Element* getAttribute(const std::string& objName, const std::string& attribName);
  static Element* getAttribute(Element* object, const std::string& attribName);
  static Element* getAttribute(const std::string& attribName);
  // Stores value as the object's child attribName and destroys the value it
  // replaces. The store takes value over unless an exception leaves the call.
  static void setAttribute(const std::string& objName, const std::string& attribName, Element* value);
  static void setAttribute(Element* object, const std::string& attribName, Element* value);
  static void setAttribute(const std::string& attribName, Element* value);

  static Element* callRule(const std::string& ruleName, ListElem* params);
  static Element* callMethod(const std::string& path, ListElem* params);
  static Element* callMethod(const std::string& objName, const std::string& method, ListElem* params);
  static Element* callMethod(Element* object, const std::string& method, ListElem* params);
  // The method called name of the superclass of the class holding method,
  // evaluated on self. Every failure arrives as NoSuchElementException.
  static Element* callSuperMethod(Element* method, Element* self, const std::string& name, ListElem* params);
  static Element* callSuperMethod(Element* method, Element* self, ListElem* params);

  // Gives the object a class that is its present class or descends from it;
  // every failure is a ClassCastException.
  static void changeClass(Element* object, std::string className);
  // Looks the class up in "sys.class" (a missing name throws) and then asks
  // the two-element form.
  static bool instanceOf(Element* object, const std::string& className);
  // Whether b is a or is reached from a through enclosures; never throws.
  static bool instanceOf(Element* a, Element* b);

  // Debug listing on standard output, 25 levels deep, aliases not entered.
  static void print(std::string indent);
  static void print(std::string indent, std::string name, Element* element);
};
