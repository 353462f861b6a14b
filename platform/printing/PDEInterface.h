// The print dialog's extension interface: what a dialog-extension plug-in hands the dialog
// through QueryInterface, and the identifiers involved.
#pragma once

#include "platform/printing/PMTypes.h"
#include "platform/printing/PlugIn.h"
#include "platform/printing/PrintSession.h"

typedef struct OpaqueControlRef* ControlRef;

// The print dialog extension plug-in type and the dialog-extension interface.
#define kPDEPlugInTypeUUIDString "BDB091F4-E57F-11D3-B5CC-0050E4603277"
#define kDialogExtensionIntfIDStr "A996FD7E-B738-11D3-8519-0050E4603277"

struct PMPlugInAPIVersion {
  UInt32 buildVersionMajor;
  UInt32 buildVersionMinor;
  UInt32 baseVersionMajor;
  UInt32 baseVersionMinor;
};

struct PMPlugInHeaderInterface;
struct PMPlugInHeader {
  OSStatus (*Retain)(PMPlugInHeaderInterface* object);
  OSStatus (*Release)(PMPlugInHeaderInterface** objectPointer);
  OSStatus (*GetAPIVersion)(PMPlugInHeaderInterface* object, PMPlugInAPIVersion* versionPointer);
};
// The view of any printing plug-in interface object the header operations take.
struct PMPlugInHeaderInterface {
  const PMPlugInHeader* vtable;
};

typedef void* PMPDEContext;
typedef UInt32 PMPDEFlags;
typedef void* PMPDERef;
enum : PMPDEFlags { kPMPDENoFlags = 0 };

struct PlugInIntfVTable {
  PMPlugInHeader plugInHeader;
  OSStatus (*Prologue)(PMPDEContext* context, OSType* creator, PMStringRef* userOptionKind, PMStringRef* title,
                       UInt32* maxH, UInt32* maxV);
  OSStatus (*Initialize)(PMPDEContext context, PMPDEFlags* flags, PMPDERef ref, ControlRef parentUserPane,
                         PMPrintSession printSession);
  OSStatus (*Sync)(PMPDEContext context, PMPrintSession printSession, Boolean reinitializePlugIn);
  OSStatus (*GetSummaryText)(PMPDEContext context, PMArrayRef* titleArray, PMArrayRef* summaryArray);
  OSStatus (*Open)(PMPDEContext context);
  OSStatus (*Close)(PMPDEContext context);
  OSStatus (*Terminate)(PMPDEContext context, OSStatus status);
};
// The dialog's view of a dialog-extension interface object.
struct PMPDEInterface {
  const PlugInIntfVTable* vtable;
};
