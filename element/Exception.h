// The exception family of the value model. Plain value classes: thrown by value, caught by value
// or by reference to a base. They stay inside the value model, the XML layer and the object store.
#pragma once

#include <string>

class ElementVisitor;

class Object {};

class Exception : public Object {
 public:
  Exception();  // message "General Exception"
  explicit Exception(const std::string& message);

  // A copy of the message.
  std::string getMessage() const;

 protected:
  std::string _message;
};

class ObjectStoreException : public Exception {
 public:
  ObjectStoreException();
  explicit ObjectStoreException(const std::string& message);

  // Calls visitor->visitorAtObjectStoreException(this).
  void accept(ElementVisitor* visitor);
};

class NotSupportedException : public ObjectStoreException {
 public:
  NotSupportedException();
  explicit NotSupportedException(const std::string& message);
};

class NoSuchElementException : public ObjectStoreException {
 public:
  NoSuchElementException();
  explicit NoSuchElementException(const std::string& message);
  explicit NoSuchElementException(int value);  // message is the value as "%d" prints it
};

class ValueConversionException : public ObjectStoreException {
 public:
  ValueConversionException();
  explicit ValueConversionException(const std::string& message);
};

class NumberFormatException : public ObjectStoreException {
 public:
  NumberFormatException();
  explicit NumberFormatException(const std::string& message);
};

class IndexOutOfBoundsException : public ObjectStoreException {
 public:
  IndexOutOfBoundsException();
  explicit IndexOutOfBoundsException(const std::string& message);
};

class ClassCastException : public ObjectStoreException {
 public:
  ClassCastException();
  explicit ClassCastException(const std::string& message);
  explicit ClassCastException(int value);  // message is the value as "%d" prints it
};
