// The common base of every value in a message tree.
//
// Ownership: a container owns its children and deletes them when it is destroyed. Operations that
// detach or displace a child never delete it; they hand it back and the caller owns it. _parent,
// an alias's target and a composite's enclosure are references, never owned. Iterators and the
// results of clone() and externalize() are new objects owned by the caller, except where clone()
// returns the element itself (kinds without a copy of their own).
#pragma once

#include <string>

#include "element/ElementIterator.h"
#include "element/ElementVisitor.h"
#include "element/Exception.h"

class ListElem;
class MapElem;

class Element {
 public:
  // The class name. A constant, so that it is valid even while other files are being statically
  // initialised (elements may be built before main).
  static constexpr const char _type[] = "Element";

  Element();
  virtual ~Element();
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  // The value this element stands for when read through getChild: the element itself, except
  // for computed kinds and aliases.
  virtual Element* eval(Element* context, ListElem* args);

  // The stored child, not evaluated. NoSuchElementException when missing.
  virtual Element* getChildRaw(const std::string& name) = 0;
  virtual Element* getChildRaw(unsigned int index) = 0;
  // A new iterator over the children, owned by the caller. Only a composite heeds `deep`.
  virtual ElementIterator* iterator(bool deep) = 0;
  // These return the element displaced or removed (or null); they never delete it.
  virtual Element* addChild(const std::string& name, Element* child) = 0;
  virtual Element* addChild(unsigned int index, Element* child) = 0;
  virtual Element* setChild(std::string name, Element* child) = 0;
  virtual Element* setChild(unsigned int index, Element* child) = 0;
  virtual Element* removeChild(const std::string& name) = 0;
  virtual Element* removeChild(unsigned int index) = 0;
  virtual void removeChildren() = 0;
  virtual unsigned int getNumChildren() = 0;

  virtual std::string stringValue() = 0;
  virtual int intValue() = 0;
  virtual bool booleanValue() = 0;
  virtual void* objectValue();           // NotSupportedException unless a kind overrides it
  virtual unsigned char* binaryValue();  // NotSupportedException unless a kind overrides it
  virtual unsigned int binaryLength();   // NotSupportedException unless a kind overrides it
  virtual std::string toString();        // "" here

  // Called by a container when it stores / lets go of this element. added() throws
  // ObjectStoreException("Element already added") if the element already has a container,
  // and changes nothing then. removed() only detaches from that very container.
  virtual void added(std::string name, Element* parent);
  virtual void removed(Element* parent);
  virtual std::string getName();
  virtual Element* getParent();

  // A deep copy; the base returns the element itself.
  virtual Element* clone();
  // Fills a freshly made copy: clears its name and container and returns it.
  virtual Element* clone(Element* copy);
  // A new free-standing copy for use outside this tree (private "_" members are dropped).
  virtual Element* externalize(Element* context) = 0;
  virtual void accept(ElementVisitor* visitor);  // does nothing here
  // True for the element's own class name or any base's ("Element", "MapElem", ...).
  virtual bool instanceOf(std::string className);

  // getChildRaw(...) then eval(this, args) on the result.
  Element* getChild(const std::string& name);
  Element* getChild(unsigned int index);
  Element* getChild(const std::string& name, ListElem* args);
  Element* getChild(unsigned int index, ListElem* args);
  // getChildRaw succeeds; NoSuchElementException gives false, every other exception passes.
  bool hasChild(const std::string& name);
  bool hasChild(unsigned int index);
  ElementIterator* iterator();  // iterator(true)
  Element* addChild(Element* child, std::string name);
  Element* addChild(Element* child, unsigned int index);
  Element* setChild(Element* child, std::string name);
  Element* setChild(Element* child, unsigned int index);
  void changeName(std::string name);
  // The names from the root down to this element, joined with ".".
  std::string getFullName();

  // Debug listing on standard output: print(label) is print("", label, this, 25).
  void print(std::string label);
  static void print(std::string indent, std::string label, Element* element, int levels);

 protected:
  // Throws (and changes nothing) when this element cannot be stored in `parent`: it already has
  // a container, a list already holds it through ListElem::add, or `parent` lies inside it.
  void checkAttachable(Element* parent);

  std::string _name;
  Element* _parent;

 private:
  friend class MapElem;
  friend class ListElem;

  // The list that holds this element through ListElem::add (which does not attach it), so that
  // the same element is never owned twice.
  ListElem* _appendedTo;
};

// Derived classes that override one overload of a name hide the others; these bring the
// convenience forms back into scope.
#define TARVELL_ELEMENT_USING(Base) \
  using Base::getChildRaw;          \
  using Base::iterator;             \
  using Base::addChild;             \
  using Base::setChild;             \
  using Base::removeChild;          \
  using Base::clone
