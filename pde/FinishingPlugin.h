// The Finishing plug-in's entry point and identifiers. A dialog reaches everything else through
// the factory instance and the dialog-extension interface it hands out.
#pragma once

#include "platform/printing/PDEInterface.h"

#define kFinishingBundleID "org.tarvell.print.pde.Finishing"
#define kFinishingUserOptionKind "org.tarvell.print.pde.FinishingKind"
#define kFinishingFactoryIDStr "5C1E7A93-2D48-4F06-9B3A-E1D07C64A2F5"
#define kFinishingCreator FourCC("pde ")
enum : UInt32 { kFinishingMaxWidth = 150, kFinishingMaxHeight = 120 };

// Makes the factory instance when `typeID` is the print dialog extension type; none otherwise.
extern "C" void* FinishingPluginFactory(PMAllocatorRef allocator, PMUUIDRef typeID);
