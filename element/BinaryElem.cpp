#include "element/BinaryElem.h"

#include <cstdlib>
#include <cstring>

BinaryElem::BinaryElem(const unsigned char* bytes, unsigned int length) : _data(nullptr), _length(0) {
  if (bytes == nullptr || length == 0) return;
  _data = static_cast<unsigned char*>(std::malloc(length));
  if (_data == nullptr) return;
  std::memcpy(_data, bytes, length);
  _length = length;
}

BinaryElem::BinaryElem(unsigned char* bytes, unsigned int length, bool)
    : _data(bytes), _length(bytes != nullptr ? length : 0) {}

BinaryElem::~BinaryElem() { std::free(_data); }

unsigned char* BinaryElem::binaryValue() { return _data; }
unsigned int BinaryElem::binaryLength() { return _length; }
std::string BinaryElem::stringValue() { throw NotSupportedException(); }
int BinaryElem::intValue() { throw NotSupportedException(); }
bool BinaryElem::booleanValue() { throw NotSupportedException(); }
std::string BinaryElem::toString() { return "BinaryElem"; }
Element* BinaryElem::externalize(Element*) { return new BinaryElem(_data, _length); }
void BinaryElem::accept(ElementVisitor* visitor) { visitor->visitorAtBinaryElem(this); }

bool BinaryElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
