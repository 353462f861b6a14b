// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands us.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/FinishingPlugin.h"

#include <cstdio>
#include <cstring>

#include "pde/FinishingControls.h"
#include "pde/PDEUtils.h"

namespace {

// The factory instance: the table pointer first, as every query-interface object starts.
struct FinishingFactory {
  IUnknownVTbl* vtablePtr;
  IUnknownVTbl vtable;
  PMUUIDRef factoryID;
  UInt32 refCount;
};

// The dialog-extension interface object.
struct PlugInIntf {
  PlugInIntfVTable* vtable;
  UInt32 refCount;
};

HRESULT QueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv);
ULONG IUnknownAddRef(void* thisPointer);
ULONG IUnknownRelease(void* thisPointer);

// Runs `body`, turning any exception into `failure`: nothing may escape into the dialog.
template <typename F>
OSStatus Guarded(OSStatus failure, F body) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

bool SameUUID(PMUUIDRef a, const char* b) {
  PMUUIDRef other = PMUUIDCreateFromString(nullptr, b);
  bool same = a && other && PMEqual(a, other);
  PMRelease(other);
  return same;
}

// ---- the interface object

OSStatus Retain(PMPlugInHeaderInterface* object) {
  if (object) ++reinterpret_cast<PlugInIntf*>(object)->refCount;
  return noErr;
}

OSStatus Release(PMPlugInHeaderInterface** objectPointer) {
  return Guarded(kPMGeneralError, [&]() -> OSStatus {
    if (!objectPointer || !*objectPointer) return noErr;
    auto* intf = reinterpret_cast<PlugInIntf*>(*objectPointer);
    *objectPointer = nullptr;
    if (intf->refCount == 0) return noErr;
    if (intf->refCount-- == 1) {
      PMAllocatorDeallocate(nullptr, intf->vtable);
      PMAllocatorDeallocate(nullptr, intf);
      // Interface objects keep the code loaded while they live, as the factory instance does.
      PMUUIDRef factoryID = PMUUIDCreateFromString(nullptr, kFinishingFactoryIDStr);
      PMPlugInRemoveInstanceForFactory(factoryID);
      PMRelease(factoryID);
    }
    return noErr;
  });
}

OSStatus GetAPIVersion(PMPlugInHeaderInterface*, PMPlugInAPIVersion* version) {
  if (version) *version = PMPlugInAPIVersion{1, 0, 1, 0};
  return noErr;
}

FinishingContext* Ctx(PMPDEContext context) { return static_cast<FinishingContext*>(context); }

OSStatus InitContext(FinishingContext** out) {
  auto* context = static_cast<FinishingContext*>(PMAllocatorAllocate(nullptr, sizeof(FinishingContext)));
  if (!context) return kPMInvalidPDEContext;
  context->theResFile = -1;
  context->parentUserPane = nullptr;
  context->encoding = kPMStringEncodingASCII;
  PMStringRef id = PMStringCreateWithCString(nullptr, kFinishingBundleID, kPMStringEncodingASCII);
  context->theBundleRef = PMBundleGetBundleWithIdentifier(id);
  PMRelease(id);
  context->printSession = nullptr;
  context->myControlHandler = nullptr;
  context->ppd = nullptr;
  context->currentContrlRect = Rect{0, 0, 10, 10};
  context->lastControlType = kControlTypeCheckbox;
  context->PPDKeySetInfoRef = nullptr;
  context->theResFile = PMBundleOpenBundleResourceMap(context->theBundleRef);
  if (context->theResFile == -1) {
    PMAllocatorDeallocate(nullptr, context);
    return kPMGeneralError;
  }
  *out = context;
  return noErr;
}

OSStatus Prologue(PMPDEContext* context, OSType* creator, PMStringRef* userOptionKind, PMStringRef* title, UInt32* maxH,
                  UInt32* maxV) {
  return Guarded(kPMInvalidPDEContext, [&]() -> OSStatus {
    if (!context) return kPMInvalidPDEContext;
    *context = nullptr;
    PDE_UseResFile scope(-1);  // restores the caller's map: opening ours makes it current
    FinishingContext* made = nullptr;
    if (InitContext(&made) != noErr) return kPMInvalidPDEContext;
    UseResFile(made->theResFile);
    *context = made;
    if (maxH) *maxH = kFinishingMaxWidth;
    if (maxV) *maxV = kFinishingMaxHeight;
    if (title) *title = CopyDisplayText(made->theBundleRef, "Finishing", nullptr);
    if (userOptionKind)
      *userOptionKind = PMStringCreateWithCString(nullptr, kFinishingUserOptionKind, kPMStringEncodingASCII);
    if (creator) *creator = kFinishingCreator;
    return noErr;
  });
}

OSStatus Sync(PMPDEContext context, PMPrintSession session, Boolean direction) {
  return Guarded(kPMGeneralError, [&]() -> OSStatus {
    if (!context || !session) return kPMInvalidPrintSession;
    PDE_UseResFile scope(Ctx(context)->theResFile);
    return FinishingSync(Ctx(context), session, direction);
  });
}

OSStatus Initialize(PMPDEContext context, PMPDEFlags* flags, PMPDERef, ControlRef parentUserPane,
                    PMPrintSession session) {
  return Guarded(kPMInvalidPDEContext, [&]() -> OSStatus {
    FinishingContext* c = Ctx(context);
    if (!c || !session) return kPMInvalidPDEContext;
    PDE_UseResFile scope(c->theResFile);
    c->printSession = session;
    PMTicketRef printerInfo = 0;
    if (GetTicketFromSession(session, kPDE_PMPrinterInfoRef, &printerInfo) == kPMNoError) {
      GetPPDRefFromSession(session, &c->ppd);
      if (c->ppd) ppdMarkDefaults(c->ppd);
      c->encoding = PMStringGetSystemEncoding();
      c->myControlHandler = NewEventHandlerUPP(AllControlConstraintFixer);

      PMDictionaryRef info = PMBundleGetInfoDictionary(c->theBundleRef);
      if (PMDictionaryGetValueForCString(info, "PMPPDKeysSupported")) {
        bool panelNeeded = false;
        PMRelease(c->PPDKeySetInfoRef);
        BuildKeySet(c->ppd, info, &c->PPDKeySetInfoRef, &panelNeeded);
        if (c->ppd && !panelNeeded) return kPMInvalidPDEContext;  // nothing to show
      }
      if (c->ppd) {
        c->parentUserPane = parentUserPane;
        PositionControl(parentUserPane, &c->currentContrlRect);
        EventTypeSpec hit = {kEventClassControl, kEventControlHit};
        for (PMIndex i = 0; i < PMArrayGetCount(c->PPDKeySetInfoRef); ++i) {
          auto* record = static_cast<KeySetInfo*>(const_cast<void*>(PMArrayGetValueAtIndex(c->PPDKeySetInfoRef, i)));
          CreateControlFromContext(c->ppd, &c->currentContrlRect, c->theBundleRef, &c->lastControlType, parentUserPane,
                                   record, SInt32(i * 10 + kFinishingControlBaseID));
          ControlRef control = KeySetInfoGetControlRef(record);
          if (c->myControlHandler && control &&
              InstallEventHandler(GetControlEventTarget(control), c->myControlHandler, 1, &hit, c, nullptr) != noErr) {
            std::fputs("Trouble installing event handler!\n", stderr);
            DisposeEventHandlerUPP(c->myControlHandler);
            c->myControlHandler = nullptr;
          }
        }
      }
      if (parentUserPane) {
        Rect bounds;
        GetControlBounds(parentUserPane, &bounds);
        bounds.bottom = SInt16(c->currentContrlRect.top + 10);
        SetControlBounds(parentUserPane, &bounds);
      }
    }
    if (flags) *flags = kPMPDENoFlags;
    // Settings already in the ticket (a preset, a reopened dialog) are taken over first, so the
    // write that follows does not replace them with the PPD defaults; the last pass re-reads
    // the controls against the marks that write made.
    FinishingSync(c, session, true);
    FinishingSync(c, session, false);
    OSStatus status = FinishingSync(c, session, true);
    return status == kPMKeyNotFound ? noErr : status;
  });
}

OSStatus GetSummaryText(PMPDEContext context, PMArrayRef* titles, PMArrayRef* summaries) {
  return Guarded(kPMGeneralError, [&]() -> OSStatus {
    if (!context) return kPMInvalidPDEContext;
    PDE_UseResFile scope(Ctx(context)->theResFile);
    return FinishingGetSummaryText(Ctx(context), titles, summaries);
  });
}

OSStatus Open(PMPDEContext context) {
  return Guarded(kPMGeneralError, [&]() -> OSStatus {
    if (!context) return kPMInvalidPDEContext;
    PDE_UseResFile scope(Ctx(context)->theResFile);
    return FinishingSync(Ctx(context), Ctx(context)->printSession, true);
  });
}

OSStatus Close(PMPDEContext context) {
  return Guarded(kPMGeneralError, [&]() -> OSStatus {
    if (!context) return kPMInvalidPDEContext;
    PDE_UseResFile scope(Ctx(context)->theResFile);
    return noErr;
  });
}

OSStatus Terminate(PMPDEContext context, OSStatus) {
  FinishingContext* c = Ctx(context);
  if (!c) return kPMInvalidPDEContext;
  PMRelease(c->PPDKeySetInfoRef);
  c->PPDKeySetInfoRef = nullptr;
  if (c->theResFile != -1) {
    PMBundleCloseBundleResourceMap(c->theBundleRef, c->theResFile);
    c->theResFile = -1;
  }
  PMAllocatorDeallocate(nullptr, c);
  return noErr;
}

OSStatus CreatePlugInInterface(PlugInIntf** out) {
  *out = nullptr;
  auto* intf = static_cast<PlugInIntf*>(PMAllocatorAllocate(nullptr, sizeof(PlugInIntf)));
  auto* table = intf ? static_cast<PlugInIntfVTable*>(PMAllocatorAllocate(nullptr, sizeof(PlugInIntfVTable))) : nullptr;
  if (!table) {
    PMAllocatorDeallocate(nullptr, intf);
    return memFullErr;
  }
  table->plugInHeader.Retain = Retain;
  table->plugInHeader.Release = Release;
  table->plugInHeader.GetAPIVersion = GetAPIVersion;
  table->Prologue = Prologue;
  table->Initialize = Initialize;
  table->Sync = Sync;
  table->GetSummaryText = GetSummaryText;
  table->Open = Open;
  table->Close = Close;
  table->Terminate = Terminate;
  intf->vtable = table;
  intf->refCount = 1;
  PMUUIDRef factoryID = PMUUIDCreateFromString(nullptr, kFinishingFactoryIDStr);
  PMPlugInAddInstanceForFactory(factoryID);
  PMRelease(factoryID);
  *out = intf;
  return noErr;
}

// ---- the factory instance

HRESULT QueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv) {
  return Guarded(E_NOINTERFACE, [&]() -> HRESULT {
    if (!ppv) return E_NOINTERFACE;
    *ppv = nullptr;
    if (!thisPointer) return E_NOINTERFACE;
    PMUUIDRef requested = PMUUIDCreateFromUUIDBytes(nullptr, iid);
    PMUUIDRef extension = PMUUIDCreateFromString(nullptr, kDialogExtensionIntfIDStr);
    HRESULT result = E_NOINTERFACE;
    if (requested && SameUUID(requested, kIUnknownUUIDString)) {
      auto* self = static_cast<FinishingFactory*>(thisPointer);
      self->vtablePtr->AddRef(thisPointer);
      *ppv = thisPointer;
      result = S_OK;
    } else if (requested && extension && PMEqual(requested, extension)) {
      PlugInIntf* intf = nullptr;
      result = CreatePlugInInterface(&intf);
      *ppv = intf;
    }
    PMRelease(requested);
    PMRelease(extension);
    return result;
  });
}

ULONG IUnknownAddRef(void* thisPointer) {
  if (!thisPointer) return 0;
  return ++static_cast<FinishingFactory*>(thisPointer)->refCount;
}

ULONG IUnknownRelease(void* thisPointer) {
  auto* self = static_cast<FinishingFactory*>(thisPointer);
  if (!self || self->refCount == 0) return 0;
  if (--self->refCount == 0) {
    try {
      PMPlugInRemoveInstanceForFactory(self->factoryID);
    } catch (...) {
      // The registration is the platform's; the instance goes all the same.
    }
    PMRelease(self->factoryID);
    PMAllocatorDeallocate(nullptr, self);
    return 0;
  }
  return self->refCount;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* FinishingPluginFactory(PMAllocatorRef, PMUUIDRef typeID) {
  try {
    PMUUIDRef accepted = PMUUIDCreateFromString(nullptr, kPDEPlugInTypeUUIDString);
    PMUUIDRef factoryID = PMUUIDCreateFromString(nullptr, kFinishingFactoryIDStr);
    FinishingFactory* instance = nullptr;
    if (accepted && factoryID && typeID && PMEqual(typeID, accepted)) {
      instance = static_cast<FinishingFactory*>(PMAllocatorAllocate(nullptr, sizeof(FinishingFactory)));
      if (instance) {
        instance->vtable._reserved = nullptr;
        instance->vtable.QueryInterface = QueryInterface;
        instance->vtable.AddRef = IUnknownAddRef;
        instance->vtable.Release = IUnknownRelease;
        instance->vtablePtr = &instance->vtable;
        instance->factoryID = factoryID;
        factoryID = nullptr;  // held by the instance now
        instance->refCount = 1;
        PMPlugInAddInstanceForFactory(instance->factoryID);
      }
    }
    PMRelease(accepted);
    PMRelease(factoryID);
    return instance;
  } catch (...) {
    return nullptr;
  }
}
