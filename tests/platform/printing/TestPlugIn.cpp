// A plug-in with one factory whose instances only count references.
#include <cstdlib>

#include "platform/printing/PlugIn.h"

namespace {

const char kFactory[] = "11111111-2222-3333-4444-555555555555";

struct Instance {
  IUnknownVTbl* vtable;
  ULONG refs;
};

HRESULT Query(void*, REFIID, LPVOID* ppv) {
  *ppv = nullptr;
  return E_NOINTERFACE;
}
ULONG AddRef(void* self) { return ++static_cast<Instance*>(self)->refs; }
ULONG Release(void* self) {
  auto* i = static_cast<Instance*>(self);
  if (--i->refs) return i->refs;
  PMUUIDRef id = PMUUIDCreateFromString(nullptr, kFactory);
  PMPlugInRemoveInstanceForFactory(id);
  PMRelease(id);
  delete i;
  return 0;
}
IUnknownVTbl gTable = {nullptr, Query, AddRef, Release};

}  // namespace

extern "C" void* TestFactory(PMAllocatorRef, PMUUIDRef) {
  PMUUIDRef id = PMUUIDCreateFromString(nullptr, kFactory);
  PMPlugInAddInstanceForFactory(id);
  PMRelease(id);
  return new Instance{&gTable, 1};
}
