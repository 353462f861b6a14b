#include "platform/printing/PlugIn.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/printing/BundleInternal.h"

namespace {

std::mutex gMutex;
std::map<std::string, long> gInstances;  // factory identifier -> live instances

PMDictionaryRef SubDictionary(PMBundle* bundle, const char* key) {
  PMTypeRef v = PMDictionaryGetValueForCString(bundle->info, key);
  return PMGetTypeID(v) == PMDictionaryGetTypeID() ? static_cast<PMDictionaryRef>(v) : nullptr;
}

bool SameUUID(PMTypeRef text, PMUUIDRef id) {
  if (PMGetTypeID(text) != PMStringGetTypeID()) return false;
  PMUUIDRef parsed = PMUUIDCreateFromString(nullptr, PMStringGetCStringPtr(static_cast<PMStringRef>(text)));
  bool same = parsed && PMEqual(parsed, id);
  PMRelease(parsed);
  return same;
}

// The factory table entry (function name) of `factoryID` in `bundle`, or "".
std::string FactoryFunction(PMBundle* bundle, PMUUIDRef factoryID) {
  PMDictionaryRef factories = SubDictionary(bundle, "CFPlugInFactories");
  PMTypeRef keys[256], values[256];
  PMIndex n = PMDictionaryGetKeysAndValues(factories, keys, values, 256);
  for (PMIndex i = 0; i < n; ++i)
    if (SameUUID(keys[i], factoryID)) return tarvell::printing::ToStdString(values[i]);
  return "";
}

}  // namespace

PMArrayRef PMPlugInFindFactoriesForPlugInType(PMUUIDRef typeID) {
  PMMutableArrayRef result = PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks);
  if (!result || !typeID) return result;
  for (PMBundle* bundle : tarvell::printing::internal::Bundles()) {
    PMDictionaryRef types = SubDictionary(bundle, "CFPlugInTypes");
    PMTypeRef keys[256], values[256];
    PMIndex n = PMDictionaryGetKeysAndValues(types, keys, values, 256);
    for (PMIndex i = 0; i < n; ++i) {
      if (!SameUUID(keys[i], typeID) || PMGetTypeID(values[i]) != PMArrayGetTypeID()) continue;
      PMArrayRef ids = static_cast<PMArrayRef>(values[i]);
      for (PMIndex k = 0; k < PMArrayGetCount(ids); ++k) {
        PMTypeRef text = static_cast<PMTypeRef>(PMArrayGetValueAtIndex(ids, k));
        PMUUIDRef id = PMGetTypeID(text) == PMStringGetTypeID()
                           ? PMUUIDCreateFromString(nullptr, PMStringGetCStringPtr(static_cast<PMStringRef>(text)))
                           : nullptr;
        // Only factories the bundle actually declares can be made.
        if (id && !FactoryFunction(bundle, id).empty()) PMArrayAppendValue(result, id);
        PMRelease(id);
      }
    }
  }
  return result;
}

PMBundleRef PMPlugInGetBundleForFactory(PMUUIDRef factoryID) {
  if (!factoryID) return nullptr;
  for (PMBundle* bundle : tarvell::printing::internal::Bundles())
    if (!FactoryFunction(bundle, factoryID).empty()) return bundle;
  return nullptr;
}

void* PMPlugInInstanceCreate(PMAllocatorRef allocator, PMUUIDRef factoryID, PMUUIDRef typeID, std::string* error) {
  std::string dummy;
  if (!error) error = &dummy;
  PMBundle* bundle = PMPlugInGetBundleForFactory(factoryID);
  if (!bundle) {
    *error = "no bundle declares factory " + PMUUIDToString(factoryID);
    return nullptr;
  }
  if (!bundle->handle) {
    std::string exe =
        tarvell::printing::ToStdString(PMDictionaryGetValueForCString(bundle->info, "CFBundleExecutable"));
    if (exe.empty() || exe.find('/') != std::string::npos) {
      *error = "Info.plist names no valid CFBundleExecutable";
      return nullptr;
    }
    std::string path = bundle->path + "/Contents/" + exe;
    bundle->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!bundle->handle) {
      const char* e = dlerror();
      *error = std::string("cannot load ") + path + ": " + (e ? e : "?");
      return nullptr;
    }
  }
  std::string name = FactoryFunction(bundle, factoryID);
  void* symbol = dlsym(bundle->handle, name.c_str());
  if (!symbol) {
    *error = "the executable has no factory function " + name;
    return nullptr;
  }
  auto factory = reinterpret_cast<PMPlugInFactoryFunction>(symbol);
  void* instance = factory(allocator, typeID);
  if (!instance) *error = "the factory made no instance for this type";
  return instance;
}

bool PMPlugInAddInstanceForFactory(PMUUIDRef factoryID) {
  if (!factoryID) return false;
  std::lock_guard<std::mutex> lock(gMutex);
  ++gInstances[PMUUIDToString(factoryID)];
  return true;
}

bool PMPlugInRemoveInstanceForFactory(PMUUIDRef factoryID) {
  if (!factoryID) return false;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gInstances.find(PMUUIDToString(factoryID));
  if (it == gInstances.end() || it->second == 0) return false;
  if (--it->second == 0) gInstances.erase(it);
  return true;
}

long PMPlugInInstanceCountForFactory(PMUUIDRef factoryID) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gInstances.find(PMUUIDToString(factoryID));
  return it == gInstances.end() ? 0 : it->second;
}
