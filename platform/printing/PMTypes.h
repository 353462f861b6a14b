// Reference-counted property-list values of the printing system: strings, numbers, data,
// booleans, arrays (with value callbacks), dictionaries and universally unique identifiers.
//
// Every object starts with one reference; whoever creates or copies one releases it once.
// Creation goes through an allocator that tests can make fail (see tarvell::printing below).
#pragma once

#include <cstddef>
#include <string>

#include "platform/system/FaultInjection.h"
#include "platform/system/Types.h"

typedef long PMIndex;
typedef unsigned long PMTypeID;
typedef UInt32 PMStringEncoding;

// Any object of this model (as a generic reference, any of the typed references converts to it).
typedef const void* PMTypeRef;

struct PMAllocator;
typedef const PMAllocator* PMAllocatorRef;
// The default allocator (a null allocator means the same).
extern const PMAllocatorRef kPMAllocatorDefault;

// Raw blocks from an allocator; null when the allocation fails.
void* PMAllocatorAllocate(PMAllocatorRef allocator, size_t size);
void PMAllocatorDeallocate(PMAllocatorRef allocator, void* block);

// Text encodings.
enum : PMStringEncoding {
  kPMStringEncodingMacRoman = 0,
  kPMStringEncodingMacJapanese = 1,
  kPMStringEncodingISOLatin1 = 0x0201,
  kPMStringEncodingWindowsLatin1 = 0x0500,
  kPMStringEncodingASCII = 0x0600,
  kPMStringEncodingUTF8 = 0x08000100,
  kPMStringEncodingInvalidId = 0xffffffffU,
};
// The system's text encoding (UTF-8 here).
PMStringEncoding PMStringGetSystemEncoding();

// Common operations.
PMTypeRef PMRetain(PMTypeRef object);
void PMRelease(PMTypeRef object);
PMIndex PMGetRetainCount(PMTypeRef object);
PMTypeID PMGetTypeID(PMTypeRef object);
// Same kind and same value (arrays and dictionaries element by element).
bool PMEqual(PMTypeRef a, PMTypeRef b);

// Strings: the text is held as UTF-8.
struct PMString;
typedef const PMString* PMStringRef;
PMTypeID PMStringGetTypeID();
// Converts `length` bytes from `encoding`; null when the bytes are not valid in it.
PMStringRef PMStringCreateWithBytes(PMAllocatorRef allocator, const char* bytes, PMIndex length,
                                    PMStringEncoding encoding);
PMStringRef PMStringCreateWithCString(PMAllocatorRef allocator, const char* text, PMStringEncoding encoding);
// The UTF-8 text, valid while the string lives.
const char* PMStringGetCStringPtr(PMStringRef string);
PMIndex PMStringGetLength(PMStringRef string);  // in bytes of UTF-8
// Copies the text in `encoding` (ASCII or UTF-8) with its terminating zero into buffer.
// False when it does not fit or cannot be written in that encoding.
bool PMStringGetCString(PMStringRef string, char* buffer, PMIndex bufferSize, PMStringEncoding encoding);
bool PMStringHasPrefix(PMStringRef string, const char* prefix);

// Numbers: integers of up to 64 bits.
struct PMNumber;
typedef const PMNumber* PMNumberRef;
enum PMNumberType { kPMNumberSInt16Type = 2, kPMNumberSInt32Type = 3, kPMNumberSInt64Type = 4 };
PMTypeID PMNumberGetTypeID();
PMNumberRef PMNumberCreate(PMAllocatorRef allocator, PMNumberType type, const void* value);
// Writes the value as `type`; false when it does not fit (the truncated value is written).
bool PMNumberGetValue(PMNumberRef number, PMNumberType type, void* value);

// Byte data.
struct PMData;
typedef const PMData* PMDataRef;
PMTypeID PMDataGetTypeID();
PMDataRef PMDataCreate(PMAllocatorRef allocator, const UInt8* bytes, PMIndex length);
const UInt8* PMDataGetBytePtr(PMDataRef data);
PMIndex PMDataGetLength(PMDataRef data);

// Booleans: two shared constants.
struct PMBoolean;
typedef const PMBoolean* PMBooleanRef;
PMTypeID PMBooleanGetTypeID();
extern const PMBooleanRef kPMBooleanTrue;
extern const PMBooleanRef kPMBooleanFalse;
bool PMBooleanGetValue(PMBooleanRef boolean);

// Arrays hold opaque values through callbacks (null callbacks: values held as they are).
typedef const void* (*PMArrayRetainCallBack)(PMAllocatorRef allocator, const void* value);
typedef void (*PMArrayReleaseCallBack)(PMAllocatorRef allocator, const void* value);
typedef PMStringRef (*PMArrayCopyDescriptionCallBack)(const void* value);
typedef bool (*PMArrayEqualCallBack)(const void* value1, const void* value2);
struct PMArrayCallBacks {
  PMIndex version;
  PMArrayRetainCallBack retain;
  PMArrayReleaseCallBack release;
  PMArrayCopyDescriptionCallBack copyDescription;
  PMArrayEqualCallBack equal;
};
// Callbacks for arrays of objects: retain, release and compare with PMEqual.
extern const PMArrayCallBacks kPMTypeArrayCallBacks;

struct PMArray;
typedef const PMArray* PMArrayRef;
typedef PMArray* PMMutableArrayRef;
PMTypeID PMArrayGetTypeID();
PMArrayRef PMArrayCreate(PMAllocatorRef allocator, const void** values, PMIndex count,
                         const PMArrayCallBacks* callBacks);
PMMutableArrayRef PMArrayCreateMutable(PMAllocatorRef allocator, PMIndex capacity, const PMArrayCallBacks* callBacks);
PMIndex PMArrayGetCount(PMArrayRef array);
// Null when the index is out of range.
const void* PMArrayGetValueAtIndex(PMArrayRef array, PMIndex index);
// False when the array is immutable or full, or the retain callback gives nothing.
bool PMArrayAppendValue(PMMutableArrayRef array, const void* value);

// Dictionaries: string keys (compared by value) to objects.
struct PMDictionary;
typedef const PMDictionary* PMDictionaryRef;
typedef PMDictionary* PMMutableDictionaryRef;
PMTypeID PMDictionaryGetTypeID();
PMMutableDictionaryRef PMDictionaryCreateMutable(PMAllocatorRef allocator);
PMIndex PMDictionaryGetCount(PMDictionaryRef dictionary);
PMTypeRef PMDictionaryGetValue(PMDictionaryRef dictionary, PMStringRef key);
PMTypeRef PMDictionaryGetValueForCString(PMDictionaryRef dictionary, const char* key);
void PMDictionarySetValue(PMMutableDictionaryRef dictionary, PMStringRef key, PMTypeRef value);
void PMDictionaryRemoveValue(PMMutableDictionaryRef dictionary, PMStringRef key);
// Fills up to `capacity` keys and values (in key order); returns how many were written.
PMIndex PMDictionaryGetKeysAndValues(PMDictionaryRef dictionary, PMTypeRef* keys, PMTypeRef* values, PMIndex capacity);

// Universally unique identifiers.
struct PMUUIDBytes {
  UInt8 byte[16];
};
struct PMUUID;
typedef const PMUUID* PMUUIDRef;
PMTypeID PMUUIDGetTypeID();
// From "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hex digits of either case); null when malformed.
PMUUIDRef PMUUIDCreateFromString(PMAllocatorRef allocator, const char* text);
PMUUIDRef PMUUIDCreateFromUUIDBytes(PMAllocatorRef allocator, PMUUIDBytes bytes);
PMUUIDBytes PMUUIDGetUUIDBytes(PMUUIDRef uuid);
std::string PMUUIDToString(PMUUIDRef uuid);  // upper-case form

namespace tarvell {
namespace printing {

// The UTF-8 text of a string object ("" for none or another kind of object).
std::string ToStdString(PMTypeRef string);

// Objects created and not yet freed (constants excluded), for leak checks in tests.
long LiveObjectCount();

// Test hooks.
enum class Call { kAllocate };

}  // namespace printing
}  // namespace tarvell

namespace tarvell::testing {
// Making an object fails.
void FailNext(printing::Call call, int n, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
