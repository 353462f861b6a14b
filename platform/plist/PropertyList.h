// Property-list values exchanged between the driver and the image-capture host: dictionaries
// with string keys, arrays, 32-bit integer and float numbers, strings, byte data and booleans.
// Values are held by std::shared_ptr, so one record can stand under two keys at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/FaultInjection.h"

namespace plist {

class Value;
class Dictionary;
class Array;
class Number;
class String;
class Data;
class Boolean;

using ValueRef = std::shared_ptr<Value>;
using DictionaryRef = std::shared_ptr<Dictionary>;
using ArrayRef = std::shared_ptr<Array>;
using NumberRef = std::shared_ptr<Number>;
using StringRef = std::shared_ptr<String>;

enum class Kind { kDictionary, kArray, kNumber, kString, kData, kBoolean };

class Value {
 public:
  virtual ~Value() = default;
  virtual Kind kind() const = 0;
};

// Keys keep the order in which they were first added, so printed dictionaries read as built.
class Dictionary : public Value {
 public:
  Kind kind() const override { return Kind::kDictionary; }

  // The value under `key`, or null.
  ValueRef Get(const std::string& key) const;
  bool Has(const std::string& key) const { return Get(key) != nullptr; }
  // Adds or replaces. A null value removes the key.
  void Set(const std::string& key, ValueRef value);
  // Adds only when the key is not there yet; returns whether it added.
  bool Add(const std::string& key, ValueRef value);
  void Remove(const std::string& key);
  size_t Count() const { return entries_.size(); }
  const std::vector<std::pair<std::string, ValueRef>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, ValueRef>> entries_;
};

class Array : public Value {
 public:
  Kind kind() const override { return Kind::kArray; }
  size_t Count() const { return items_.size(); }
  // The item at `index`, or null when out of range.
  ValueRef At(size_t index) const { return index < items_.size() ? items_[index] : nullptr; }
  void Append(ValueRef value) { items_.push_back(std::move(value)); }
  const std::vector<ValueRef>& items() const { return items_; }

 private:
  std::vector<ValueRef> items_;
};

// A number made as a 32-bit integer or a 32-bit float; either can be read as the other.
class Number : public Value {
 public:
  explicit Number(int32_t value) : isFloat_(false), int_(value), float_(0) {}
  explicit Number(float value) : isFloat_(true), int_(0), float_(value) {}
  Kind kind() const override { return Kind::kNumber; }

  bool IsFloat() const { return isFloat_; }
  // A float read as an integer is truncated toward zero and saturates at the int32 limits;
  // NaN reads as 0.
  int32_t AsInt32() const;
  float AsFloat32() const { return isFloat_ ? float_ : static_cast<float>(int_); }

 private:
  bool isFloat_;
  int32_t int_;
  float float_;
};

class String : public Value {
 public:
  explicit String(std::string value) : value_(std::move(value)) {}
  Kind kind() const override { return Kind::kString; }
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

class Data : public Value {
 public:
  explicit Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Kind kind() const override { return Kind::kData; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

class Boolean : public Value {
 public:
  explicit Boolean(bool value) : value_(value) {}
  Kind kind() const override { return Kind::kBoolean; }
  bool value() const { return value_; }

 private:
  bool value_;
};

// Makers. Containers come back null when a test has made container creation fail
// (see tarvell::testing::FailNext), as the platform's creators may fail.
DictionaryRef MakeDictionary();
ArrayRef MakeArray();
NumberRef MakeInteger(int32_t value);
NumberRef MakeFloat(float value);
StringRef MakeString(std::string value);
std::shared_ptr<Data> MakeData(std::vector<uint8_t> bytes);
std::shared_ptr<Boolean> MakeBoolean(bool value);

// Typed views: null when the value is null or of another kind.
DictionaryRef AsDictionary(const ValueRef& value);
ArrayRef AsArray(const ValueRef& value);
NumberRef AsNumber(const ValueRef& value);
StringRef AsString(const ValueRef& value);

// A readable text form, one entry a line, nested containers indented by two spaces:
//   {
//     "device" = {
//       "type" = "TWON_RANGE";
//       "min" = 0.1;
//     };
//   }
// Integers print as decimals, floats with the shortest text that reads back ("1.0", "0.01"),
// data as <hex bytes>, booleans as true/false. A container met again inside itself prints as
// "<cycle>" so a malformed tree cannot recurse forever.
std::string Describe(const ValueRef& value);

// Test hooks.
enum class Call { kMakeContainer };

}  // namespace plist

namespace tarvell::testing {
// A container maker returns null.
void FailNext(plist::Call call, int n, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
