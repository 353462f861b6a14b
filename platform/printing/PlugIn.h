// The plug-in model: a bundle's factory table ("CFPlugInFactories": factory identifier ->
// function name in the bundle's executable) and type table ("CFPlugInTypes": plug-in type ->
// factory identifiers). Instances are query-interface objects whose first field points at an
// IUnknownVTbl-compatible table.
#pragma once

#include "platform/printing/Bundle.h"
#include "platform/printing/PMTypes.h"

typedef PMUUIDBytes REFIID;
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;

enum : HRESULT { S_OK = 0 };
#define E_NOINTERFACE HRESULT(0x80000004)
#define kIUnknownUUIDString "00000000-0000-0000-C000-000000000046"

struct IUnknownVTbl {
  void* _reserved;
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* thisPointer);
  ULONG (*Release)(void* thisPointer);
};

// What a factory function looks like: it returns an instance (IUnknownVTbl** view) or null.
typedef void* (*PMPlugInFactoryFunction)(PMAllocatorRef allocator, PMUUIDRef typeID);

// Factories of every open bundle that make instances of `typeID` (new array of PMUUIDRef).
PMArrayRef PMPlugInFindFactoriesForPlugInType(PMUUIDRef typeID);
// The bundle that declares `factoryID` (not retained), or null.
PMBundleRef PMPlugInGetBundleForFactory(PMUUIDRef factoryID);
// Loads the declaring bundle's executable (dlopen), finds the factory function by name (dlsym)
// and calls it. Null when any step fails; `error` then says which.
void* PMPlugInInstanceCreate(PMAllocatorRef allocator, PMUUIDRef factoryID, PMUUIDRef typeID,
                             std::string* error = nullptr);

// Factories register their live instances, so that their code stays loaded while they live.
bool PMPlugInAddInstanceForFactory(PMUUIDRef factoryID);
bool PMPlugInRemoveInstanceForFactory(PMUUIDRef factoryID);
long PMPlugInInstanceCountForFactory(PMUUIDRef factoryID);
