// A byte buffer (malloc'd, owned, freed with free()).
#pragma once

#include "element/TerminalElem.h"

class BinaryElem : public DataElem {
 public:
  static constexpr const char _type[] = "BinaryElem";

  // Copies `length` bytes. A null pointer, a zero length or a failed allocation give an empty
  // element (null buffer, length 0).
  BinaryElem(const unsigned char* bytes, unsigned int length);
  // Adopts `bytes`, which must come from malloc; the flag only selects this form.
  BinaryElem(unsigned char* bytes, unsigned int length, bool adopt);
  ~BinaryElem() override;

  unsigned char* binaryValue() override;  // still owned by the element
  unsigned int binaryLength() override;

  // All three refused with NotSupportedException ("General Exception").
  std::string stringValue() override;
  int intValue() override;
  bool booleanValue() override;
  std::string toString() override;  // "BinaryElem"
  // clone() is Element's: the element itself.
  Element* externalize(Element* context) override;  // a new element with its own copy
  void accept(ElementVisitor* visitor) override;
  bool instanceOf(std::string className) override;

 private:
  unsigned char* _data;
  unsigned int _length;
};
