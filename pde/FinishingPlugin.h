// The Finishing plug-in's entry point and identifiers. A dialog reaches everything else through
// the factory instance and the dialog-extension interface it hands out.
#pragma once

#include "platform/printing/PDEInterface.h"

#define kFinishingBundleID "org.tarvell.print.pde.Finishing"
#define kFinishingUserOptionKind "org.tarvell.print.pde.FinishingKind"
#define kFinishingFactoryIDStr "5C1E7A93-2D48-4F06-9B3A-E1D07C64A2F5"
#define kFinishingCreator FourCC("pde ")
// A menu item the panel disables carries why, under kFinishingCreator and kFinishingReasonTag
// (GetMenuItemProperty): a dictionary with "text", a sentence in the dialog's language, and
// "blockedBy", an array with one dictionary per blocking option: "option", "choice",
// "optionText", "choiceText" (strings) and "installable" (boolean: an option of the printer's
// hardware, from the PPD's InstallableOptions group).
#define kFinishingReasonTag FourCC("why ")
enum : UInt32 { kFinishingMaxWidth = 150, kFinishingMaxHeight = 120 };

// Makes the factory instance when `typeID` is the print dialog extension type; none otherwise.
extern "C" void* FinishingPluginFactory(PMAllocatorRef allocator, PMUUIDRef typeID);
