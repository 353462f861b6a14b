#include "platform/plist/PropertyList.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace plist {
namespace {

tarvell::testing::FaultPoint gContainerFault;

bool TakeContainerBudget() { return !gContainerFault.Fire(); }

std::string FloatText(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[32];
  // The shortest form that reads back as the same float.
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  *result.ptr = '\0';
  std::string text = buffer;
  if (text.find_first_of(".eE") == std::string::npos) text += ".0";
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void DescribeInto(const ValueRef& value, int depth, std::vector<const Value*>& open, std::string& out) {
  if (!value) {
    out += "<null>";
    return;
  }
  if (std::find(open.begin(), open.end(), value.get()) != open.end()) {
    out += "<cycle>";
    return;
  }
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  switch (value->kind()) {
    case Kind::kDictionary: {
      open.push_back(value.get());
      out += "{\n";
      for (const auto& [key, item] : static_cast<const Dictionary&>(*value).entries()) {
        out += indent + "  " + Quoted(key) + " = ";
        DescribeInto(item, depth + 1, open, out);
        out += ";\n";
      }
      out += indent + "}";
      open.pop_back();
      break;
    }
    case Kind::kArray: {
      open.push_back(value.get());
      out += "(\n";
      const auto& items = static_cast<const Array&>(*value).items();
      for (size_t i = 0; i < items.size(); ++i) {
        out += indent + "  ";
        DescribeInto(items[i], depth + 1, open, out);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      out += indent + ")";
      open.pop_back();
      break;
    }
    case Kind::kNumber: {
      const auto& number = static_cast<const Number&>(*value);
      out += number.IsFloat() ? FloatText(number.AsFloat32()) : std::to_string(number.AsInt32());
      break;
    }
    case Kind::kString: out += Quoted(static_cast<const String&>(*value).value()); break;
    case Kind::kData: {
      out += "<";
      char hex[3];
      for (uint8_t byte : static_cast<const Data&>(*value).bytes()) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        out += hex;
      }
      out += ">";
      break;
    }
    case Kind::kBoolean: out += static_cast<const Boolean&>(*value).value() ? "true" : "false"; break;
  }
}

}  // namespace

ValueRef Dictionary::Get(const std::string& key) const {
  for (const auto& entry : entries_)
    if (entry.first == key) return entry.second;
  return nullptr;
}

void Dictionary::Set(const std::string& key, ValueRef value) {
  if (!value) {
    Remove(key);
    return;
  }
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(key, std::move(value));
}

bool Dictionary::Add(const std::string& key, ValueRef value) {
  if (!value || Has(key)) return false;
  entries_.emplace_back(key, std::move(value));
  return true;
}

void Dictionary::Remove(const std::string& key) {
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(), [&](const auto& entry) { return entry.first == key; }),
      entries_.end());
}

int32_t Number::AsInt32() const {
  if (!isFloat_) return int_;
  if (std::isnan(float_)) return 0;
  // Compare in double: INT32_MAX is not representable as a float.
  const double v = static_cast<double>(float_);
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

DictionaryRef MakeDictionary() { return TakeContainerBudget() ? std::make_shared<Dictionary>() : nullptr; }
ArrayRef MakeArray() { return TakeContainerBudget() ? std::make_shared<Array>() : nullptr; }
NumberRef MakeInteger(int32_t value) { return std::make_shared<Number>(value); }
NumberRef MakeFloat(float value) { return std::make_shared<Number>(value); }
StringRef MakeString(std::string value) { return std::make_shared<String>(std::move(value)); }
std::shared_ptr<Data> MakeData(std::vector<uint8_t> bytes) { return std::make_shared<Data>(std::move(bytes)); }
std::shared_ptr<Boolean> MakeBoolean(bool value) { return std::make_shared<Boolean>(value); }

DictionaryRef AsDictionary(const ValueRef& value) {
  return value && value->kind() == Kind::kDictionary ? std::static_pointer_cast<Dictionary>(value) : nullptr;
}
ArrayRef AsArray(const ValueRef& value) {
  return value && value->kind() == Kind::kArray ? std::static_pointer_cast<Array>(value) : nullptr;
}
NumberRef AsNumber(const ValueRef& value) {
  return value && value->kind() == Kind::kNumber ? std::static_pointer_cast<Number>(value) : nullptr;
}
StringRef AsString(const ValueRef& value) {
  return value && value->kind() == Kind::kString ? std::static_pointer_cast<String>(value) : nullptr;
}

std::string Describe(const ValueRef& value) {
  std::string out;
  std::vector<const Value*> open;
  DescribeInto(value, 0, open, out);
  return out;
}

}  // namespace plist

void tarvell::testing::FailNext(plist::Call, int n, Fails how) { plist::gContainerFault.Arm(n, how); }
