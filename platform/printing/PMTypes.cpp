#include "platform/printing/PMTypes.h"

#include <iconv.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <vector>

namespace {

tarvell::testing::FaultPoint gAllocationFault;
std::atomic<long> gLive{0};

// Counts down an armed failure; true when this allocation is to fail.
bool AllocationFails() { return gAllocationFault.Fire(); }

enum : PMTypeID { kStringID = 7, kNumberID, kDataID, kBooleanID, kArrayID, kDictionaryID, kUUIDID };

}  // namespace

struct PMAllocator {
  int unused;
};
const PMAllocatorRef kPMAllocatorDefault = nullptr;

void* PMAllocatorAllocate(PMAllocatorRef, size_t size) {
  if (AllocationFails()) return nullptr;
  return std::calloc(1, size ? size : 1);
}

void PMAllocatorDeallocate(PMAllocatorRef, void* block) { std::free(block); }

struct PMObject {
  explicit PMObject(PMTypeID id, bool constant = false) : typeID(id), isConstant(constant) {
    if (!isConstant) ++gLive;
  }
  virtual ~PMObject() {
    if (!isConstant) --gLive;
  }
  virtual bool equals(const PMObject& other) const = 0;
  const PMTypeID typeID;
  const bool isConstant;
  mutable std::atomic<long> refCount{1};
};

namespace {

// Creates an object unless the allocator is made to fail.
template <typename T, typename... Args>
T* Make(Args&&... args) {
  if (AllocationFails()) return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

}  // namespace

struct PMString : PMObject {
  explicit PMString(std::string t) : PMObject(kStringID), text(std::move(t)) {}
  bool equals(const PMObject& o) const override { return text == static_cast<const PMString&>(o).text; }
  std::string text;
};

struct PMNumber : PMObject {
  explicit PMNumber(int64_t v) : PMObject(kNumberID), value(v) {}
  bool equals(const PMObject& o) const override { return value == static_cast<const PMNumber&>(o).value; }
  int64_t value;
};

struct PMData : PMObject {
  explicit PMData(std::vector<UInt8> b) : PMObject(kDataID), bytes(std::move(b)) {}
  bool equals(const PMObject& o) const override { return bytes == static_cast<const PMData&>(o).bytes; }
  std::vector<UInt8> bytes;
};

struct PMBoolean : PMObject {
  explicit PMBoolean(bool v) : PMObject(kBooleanID, true), value(v) {}
  bool equals(const PMObject& o) const override { return value == static_cast<const PMBoolean&>(o).value; }
  bool value;
};

struct PMArray : PMObject {
  PMArray(PMAllocatorRef a, const PMArrayCallBacks* cb, bool isMutable, PMIndex cap)
      : PMObject(kArrayID), allocator(a), mutableArray(isMutable), capacity(cap) {
    if (cb) callBacks = *cb;
  }
  ~PMArray() override {
    for (const void* v : values)
      if (callBacks.release) callBacks.release(allocator, v);
  }
  bool equals(const PMObject& o) const override {
    const auto& other = static_cast<const PMArray&>(o);
    if (values.size() != other.values.size()) return false;
    for (size_t i = 0; i < values.size(); ++i) {
      bool same = callBacks.equal ? callBacks.equal(values[i], other.values[i]) : values[i] == other.values[i];
      if (!same) return false;
    }
    return true;
  }
  bool append(const void* value) {
    if (capacity > 0 && PMIndex(values.size()) >= capacity) return false;
    const void* held = callBacks.retain ? callBacks.retain(allocator, value) : value;
    if (!held) return false;
    values.push_back(held);
    return true;
  }
  PMAllocatorRef allocator;
  PMArrayCallBacks callBacks{0, nullptr, nullptr, nullptr, nullptr};
  bool mutableArray;
  PMIndex capacity;
  std::vector<const void*> values;
};

struct PMDictionary : PMObject {
  PMDictionary() : PMObject(kDictionaryID) {}
  ~PMDictionary() override {
    for (auto& kv : entries) {
      PMRelease(kv.second.first);
      PMRelease(kv.second.second);
    }
  }
  bool equals(const PMObject& o) const override {
    const auto& other = static_cast<const PMDictionary&>(o);
    if (entries.size() != other.entries.size()) return false;
    for (auto& kv : entries) {
      auto it = other.entries.find(kv.first);
      if (it == other.entries.end() || !PMEqual(kv.second.second, it->second.second)) return false;
    }
    return true;
  }
  // key text -> (key object, value)
  std::map<std::string, std::pair<PMTypeRef, PMTypeRef>> entries;
};

struct PMUUID : PMObject {
  explicit PMUUID(PMUUIDBytes b) : PMObject(kUUIDID), bytes(b) {}
  bool equals(const PMObject& o) const override {
    return std::memcmp(bytes.byte, static_cast<const PMUUID&>(o).bytes.byte, 16) == 0;
  }
  PMUUIDBytes bytes;
};

namespace {
// Every object of the model starts with its PMObject part.
const PMObject* Obj(PMTypeRef v) { return static_cast<const PMObject*>(v); }
}  // namespace

PMTypeRef PMRetain(PMTypeRef v) {
  const PMObject* object = Obj(v);
  if (object && !object->isConstant) ++object->refCount;
  return v;
}

void PMRelease(PMTypeRef v) {
  const PMObject* object = Obj(v);
  if (!object || object->isConstant) return;
  if (--object->refCount == 0) delete object;
}

PMIndex PMGetRetainCount(PMTypeRef v) { return v ? Obj(v)->refCount.load() : 0; }

PMTypeID PMGetTypeID(PMTypeRef v) { return v ? Obj(v)->typeID : 0; }

bool PMEqual(PMTypeRef a, PMTypeRef b) {
  if (a == b) return true;
  if (!a || !b || Obj(a)->typeID != Obj(b)->typeID) return false;
  return Obj(a)->equals(*Obj(b));
}

// ---- strings

PMTypeID PMStringGetTypeID() { return kStringID; }

PMStringEncoding PMStringGetSystemEncoding() { return kPMStringEncodingUTF8; }

namespace {

bool ValidUTF8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

const char* IconvName(PMStringEncoding e) {
  switch (e) {
    case kPMStringEncodingMacRoman: return "MACINTOSH";
    case kPMStringEncodingMacJapanese: return "CP932";
    case kPMStringEncodingISOLatin1: return "ISO-8859-1";
    case kPMStringEncodingWindowsLatin1: return "CP1252";
    default: return nullptr;
  }
}

// Converts bytes of `encoding` to UTF-8; false when they are not valid in it.
bool ToUTF8(const char* bytes, size_t n, PMStringEncoding encoding, std::string& out) {
  const auto* u = reinterpret_cast<const unsigned char*>(bytes);
  if (encoding == kPMStringEncodingUTF8) {
    if (!ValidUTF8(u, n)) return false;
    out.assign(bytes, n);
    return true;
  }
  if (encoding == kPMStringEncodingASCII) {
    for (size_t i = 0; i < n; ++i)
      if (u[i] >= 0x80) return false;
    out.assign(bytes, n);
    return true;
  }
  const char* name = IconvName(encoding);
  if (!name) return false;
  iconv_t cd = iconv_open("UTF-8", name);
  if (cd == iconv_t(-1)) return false;
  std::string result(n * 4 + 4, '\0');
  char* in = const_cast<char*>(bytes);
  size_t inLeft = n;
  char* outPtr = &result[0];
  size_t outLeft = result.size();
  size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (r == size_t(-1) || inLeft != 0) return false;
  result.resize(result.size() - outLeft);
  out = std::move(result);
  return true;
}

}  // namespace

PMStringRef PMStringCreateWithBytes(PMAllocatorRef, const char* bytes, PMIndex length, PMStringEncoding encoding) {
  if (!bytes || length < 0) return nullptr;
  std::string text;
  if (!ToUTF8(bytes, size_t(length), encoding, text)) return nullptr;
  return Make<PMString>(std::move(text));
}

PMStringRef PMStringCreateWithCString(PMAllocatorRef allocator, const char* text, PMStringEncoding encoding) {
  if (!text) return nullptr;
  return PMStringCreateWithBytes(allocator, text, PMIndex(std::strlen(text)), encoding);
}

const char* PMStringGetCStringPtr(PMStringRef string) { return string ? string->text.c_str() : nullptr; }

PMIndex PMStringGetLength(PMStringRef string) { return string ? PMIndex(string->text.size()) : 0; }

bool PMStringGetCString(PMStringRef string, char* buffer, PMIndex bufferSize, PMStringEncoding encoding) {
  if (!string || !buffer || bufferSize <= 0) return false;
  const std::string& t = string->text;
  if (PMIndex(t.size()) >= bufferSize) return false;
  if (encoding == kPMStringEncodingASCII) {
    for (unsigned char c : t)
      if (c >= 0x80) return false;
  } else if (encoding != kPMStringEncodingUTF8) {
    return false;
  }
  std::memcpy(buffer, t.c_str(), t.size() + 1);
  return true;
}

bool PMStringHasPrefix(PMStringRef string, const char* prefix) {
  return string && prefix && string->text.compare(0, std::strlen(prefix), prefix) == 0;
}

// ---- numbers

PMTypeID PMNumberGetTypeID() { return kNumberID; }

PMNumberRef PMNumberCreate(PMAllocatorRef, PMNumberType type, const void* value) {
  if (!value) return nullptr;
  int64_t v;
  switch (type) {
    case kPMNumberSInt16Type: v = *static_cast<const int16_t*>(value); break;
    case kPMNumberSInt32Type: v = *static_cast<const int32_t*>(value); break;
    case kPMNumberSInt64Type: v = *static_cast<const int64_t*>(value); break;
    default: return nullptr;
  }
  return Make<PMNumber>(v);
}

bool PMNumberGetValue(PMNumberRef number, PMNumberType type, void* value) {
  if (!number || !value) return false;
  int64_t v = number->value;
  switch (type) {
    case kPMNumberSInt16Type: *static_cast<int16_t*>(value) = int16_t(v); return v >= INT16_MIN && v <= INT16_MAX;
    case kPMNumberSInt32Type: *static_cast<int32_t*>(value) = int32_t(v); return v >= INT32_MIN && v <= INT32_MAX;
    case kPMNumberSInt64Type: *static_cast<int64_t*>(value) = v; return true;
  }
  return false;
}

// ---- data

PMTypeID PMDataGetTypeID() { return kDataID; }

PMDataRef PMDataCreate(PMAllocatorRef, const UInt8* bytes, PMIndex length) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  return Make<PMData>(std::vector<UInt8>(bytes, bytes + length));
}

const UInt8* PMDataGetBytePtr(PMDataRef data) { return data ? data->bytes.data() : nullptr; }

PMIndex PMDataGetLength(PMDataRef data) { return data ? PMIndex(data->bytes.size()) : 0; }

// ---- booleans

PMTypeID PMBooleanGetTypeID() { return kBooleanID; }
static const PMBoolean gTrue(true);
static const PMBoolean gFalse(false);
const PMBooleanRef kPMBooleanTrue = &gTrue;
const PMBooleanRef kPMBooleanFalse = &gFalse;
bool PMBooleanGetValue(PMBooleanRef boolean) { return boolean && boolean->value; }

// ---- arrays

static const void* RetainObject(PMAllocatorRef, const void* v) { return PMRetain(static_cast<PMTypeRef>(v)); }
static void ReleaseObject(PMAllocatorRef, const void* v) { PMRelease(static_cast<PMTypeRef>(v)); }
static bool EqualObjects(const void* a, const void* b) { return PMEqual(a, b); }
const PMArrayCallBacks kPMTypeArrayCallBacks = {0, RetainObject, ReleaseObject, nullptr, EqualObjects};

PMTypeID PMArrayGetTypeID() { return kArrayID; }

PMArrayRef PMArrayCreate(PMAllocatorRef allocator, const void** values, PMIndex count,
                         const PMArrayCallBacks* callBacks) {
  if (count < 0 || (count > 0 && !values)) return nullptr;
  PMArray* array = Make<PMArray>(allocator, callBacks, false, 0);
  if (!array) return nullptr;
  for (PMIndex i = 0; i < count; ++i) {
    if (!array->append(values[i])) {
      PMRelease(array);
      return nullptr;
    }
  }
  return array;
}

PMMutableArrayRef PMArrayCreateMutable(PMAllocatorRef allocator, PMIndex capacity, const PMArrayCallBacks* callBacks) {
  if (capacity < 0) return nullptr;
  return Make<PMArray>(allocator, callBacks, true, capacity);
}

PMIndex PMArrayGetCount(PMArrayRef array) { return array ? PMIndex(array->values.size()) : 0; }

const void* PMArrayGetValueAtIndex(PMArrayRef array, PMIndex index) {
  if (!array || index < 0 || index >= PMIndex(array->values.size())) return nullptr;
  return array->values[size_t(index)];
}

bool PMArrayAppendValue(PMMutableArrayRef array, const void* value) {
  if (!array || !array->mutableArray) return false;
  return array->append(value);
}

// ---- dictionaries

PMTypeID PMDictionaryGetTypeID() { return kDictionaryID; }

PMMutableDictionaryRef PMDictionaryCreateMutable(PMAllocatorRef) { return Make<PMDictionary>(); }

PMIndex PMDictionaryGetCount(PMDictionaryRef d) { return d ? PMIndex(d->entries.size()) : 0; }

PMTypeRef PMDictionaryGetValueForCString(PMDictionaryRef d, const char* key) {
  if (!d || !key) return nullptr;
  auto it = d->entries.find(key);
  return it == d->entries.end() ? nullptr : it->second.second;
}

PMTypeRef PMDictionaryGetValue(PMDictionaryRef d, PMStringRef key) {
  return key ? PMDictionaryGetValueForCString(d, key->text.c_str()) : nullptr;
}

void PMDictionarySetValue(PMMutableDictionaryRef d, PMStringRef key, PMTypeRef value) {
  if (!d || !key || !value) return;
  PMRetain(value);
  auto it = d->entries.find(key->text);
  if (it != d->entries.end()) {
    PMRelease(it->second.second);
    it->second.second = value;
    return;
  }
  d->entries.emplace(key->text, std::make_pair(PMRetain(key), value));
}

void PMDictionaryRemoveValue(PMMutableDictionaryRef d, PMStringRef key) {
  if (!d || !key) return;
  auto it = d->entries.find(key->text);
  if (it == d->entries.end()) return;
  PMRelease(it->second.first);
  PMRelease(it->second.second);
  d->entries.erase(it);
}

PMIndex PMDictionaryGetKeysAndValues(PMDictionaryRef d, PMTypeRef* keys, PMTypeRef* values, PMIndex capacity) {
  if (!d) return 0;
  PMIndex n = 0;
  for (auto& kv : d->entries) {
    if (n >= capacity) break;
    if (keys) keys[n] = kv.second.first;
    if (values) values[n] = kv.second.second;
    ++n;
  }
  return n;
}

// ---- identifiers

PMTypeID PMUUIDGetTypeID() { return kUUIDID; }

PMUUIDRef PMUUIDCreateFromString(PMAllocatorRef, const char* text) {
  if (!text || std::strlen(text) != 36) return nullptr;
  PMUUIDBytes b{};
  int n = 0;
  for (int i = 0; i < 36; ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return nullptr;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return nullptr;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
    b.byte[n / 2] = UInt8(b.byte[n / 2] | (n % 2 ? v : v << 4));
    ++n;
  }
  return Make<PMUUID>(b);
}

PMUUIDRef PMUUIDCreateFromUUIDBytes(PMAllocatorRef, PMUUIDBytes bytes) { return Make<PMUUID>(bytes); }

PMUUIDBytes PMUUIDGetUUIDBytes(PMUUIDRef uuid) { return uuid ? uuid->bytes : PMUUIDBytes{}; }

std::string PMUUIDToString(PMUUIDRef uuid) {
  if (!uuid) return "";
  char out[37];
  const UInt8* b = uuid->bytes.byte;
  std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

namespace tarvell {
namespace printing {

std::string ToStdString(PMTypeRef string) {
  if (!string || Obj(string)->typeID != kStringID) return "";
  return static_cast<const PMString*>(Obj(string))->text;
}

long LiveObjectCount() { return gLive.load(); }

}  // namespace printing
}  // namespace tarvell

void tarvell::testing::FailNext(printing::Call, int n, Fails how) { gAllocationFault.Arm(n, how); }
