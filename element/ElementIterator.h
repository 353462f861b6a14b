// Walks the children of a container. Iterators are heap objects owned by whoever asked for them;
// the container must outlive the iterator and must not change while it is walked.
#pragma once

#include <string>

class Element;
class ListElem;

class ElementIterator {
 public:
  // Virtual so that deleting through this interface frees what an iterator holds (a composite
  // iterator owns the iterator it is walking).
  virtual ~ElementIterator() = default;

  // Another child remains.
  virtual bool hasNext() = 0;
  // The next child, raw (not evaluated); advances. NoSuchElementException when exhausted.
  virtual Element* next() = 0;
  // The next child evaluated as by getChild(..., args); advances.
  virtual Element* next(ListElem* args) = 0;
  // The name of the child next() would return; does not advance.
  virtual std::string nextName() = 0;
  // The index of the child next() would return; does not advance.
  virtual int nextIndex() = 0;
};
