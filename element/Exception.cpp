#include "element/Exception.h"

#include <cstdio>

#include "element/ElementVisitor.h"

namespace {
std::string DecimalText(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return text;
}
}  // namespace

Exception::Exception() : _message("General Exception") {}
Exception::Exception(const std::string& message) : _message(message) {}
std::string Exception::getMessage() const { return _message; }

ObjectStoreException::ObjectStoreException() = default;
ObjectStoreException::ObjectStoreException(const std::string& message) : Exception(message) {}
void ObjectStoreException::accept(ElementVisitor* visitor) { visitor->visitorAtObjectStoreException(this); }

NotSupportedException::NotSupportedException() = default;
NotSupportedException::NotSupportedException(const std::string& message) : ObjectStoreException(message) {}

NoSuchElementException::NoSuchElementException() = default;
NoSuchElementException::NoSuchElementException(const std::string& message) : ObjectStoreException(message) {}
NoSuchElementException::NoSuchElementException(int value) : ObjectStoreException(DecimalText(value)) {}

ValueConversionException::ValueConversionException() = default;
ValueConversionException::ValueConversionException(const std::string& message) : ObjectStoreException(message) {}

NumberFormatException::NumberFormatException() = default;
NumberFormatException::NumberFormatException(const std::string& message) : ObjectStoreException(message) {}

IndexOutOfBoundsException::IndexOutOfBoundsException() = default;
IndexOutOfBoundsException::IndexOutOfBoundsException(const std::string& message) : ObjectStoreException(message) {}

ClassCastException::ClassCastException() = default;
ClassCastException::ClassCastException(const std::string& message) : ObjectStoreException(message) {}
ClassCastException::ClassCastException(int value) : ObjectStoreException(DecimalText(value)) {}
