// The data behind the Finishing controls: one KeySetInfo record per finishing option shown,
// the per-choice key-info arrays, the constraint test, and the print session lookups.
#pragma once

#include "pde/CupsPPD.h"
#include "platform/printing/Bundle.h"
#include "platform/printing/PMTypes.h"
#include "platform/printing/PrintSession.h"
#include "platform/toolbox/Toolbox.h"

// One finishing option shown by the panel. Held by value in the key set array, which copies
// the record (and retains its fields) on append and releases them on removal.
struct KeySetInfo {
  PMStringRef keyStringRef;              // the PPD main keyword, as listed in the bundle
  PMMutableArrayRef PPDkeyInfoArrayRef;  // one key-info array per choice, in PPD order
  PMMutableArrayRef PPDUISetRef;         // not used by the panel
  PMDataRef keyControlRef;               // bytes of the control reference; none until made
  PMDataRef keyMenuRef;                  // bytes of the pop-up's menu reference; none for a checkbox
  PMNumberRef keyDefault;                // the control's initial value worked out from the PPD
};

extern const PMArrayCallBacks keyStructValueCallBacks;
const void* KeySetInfoRetain(PMAllocatorRef allocator, const void* value);
void KeySetInfoReleasae(PMAllocatorRef allocator, const void* value);
bool KeySetInfoEqual(const void* value1, const void* value2);

// Getters return the object held (not retained). Setters do nothing for the object already
// held; otherwise they release the old one and keep a reference to the new one.
PMStringRef KeySetInfoGetStringRef(const KeySetInfo* info);
void KeySetInfoSetStringRef(KeySetInfo* info, PMStringRef value);
PMMutableArrayRef KeySetInfoGetInfoArrayRef(const KeySetInfo* info);
void KeySetInfoSetInfoArrayRef(KeySetInfo* info, PMMutableArrayRef value);
PMMutableArrayRef KeySetInfoGetUISetRef(const KeySetInfo* info);
void KeySetInfoSetUISetRef(KeySetInfo* info, PMMutableArrayRef value);
PMNumberRef KeySetInfoGetDefaultRef(const KeySetInfo* info);
void KeySetInfoSetDefaultRef(KeySetInfo* info, PMNumberRef value);
// The control and menu references are kept as the bytes of the reference in a data object.
void KeySetInfoSetControlRef(KeySetInfo* info, ControlRef control);
ControlRef KeySetInfoGetControlRef(const KeySetInfo* info);
void KeySetInfoSetMenuRef(KeySetInfo* info, MenuRef menu);
MenuRef KeySetInfoGetMenuRef(const KeySetInfo* info);

// Entries of a key-info array.
enum { kKeyInfoOption = 0, kKeyInfoChoice = 1, kKeyInfoText = 2, kKeyInfoConflict = 3 };
#define kConflictTrue "ConflictTrue"
#define kConflictFalse "ConflictFalse"

// The ticket stored in the session under `ticketKey` ("PMPrintSettingsTicket" or
// "PMPrinterInfoTicket"). kPMInvalidTicket when there is none.
OSStatus GetTicketFromSession(PMPrintSession session, const char* ticketKey, PMTicketRef* ticket);
// The PPD stored in the session under "kPMPPDReference" (none when absent).
OSStatus GetPPDRefFromSession(PMPrintSession session, ppd_file_t** ppd);

// Appends one key-info array per choice of `option` to `list` and works out the control's
// initial value into `defaultValue`. Always 0.
OSStatus GetUIListFromPPD(ppd_file_t* ppd, const char* keyword, PMMutableArrayRef list, ppd_option_t* option,
                          SInt16* defaultValue);
// True when marking `choice` would put option `keyword` in conflict. The PPD's marks are
// as they were after the call.
bool IsPPDChoiceConflicted(ppd_file_t* ppd, const char* keyword, const char* choice);
// True for the choice keywords that mean a boolean option is on (True, On, Yes in any case).
bool IsTrueChoice(const char* choice);
// Index of the first key-info array whose option and choice equal the two strings exactly, or -1.
SInt16 FindPPDKeyPairsMatch(PMArrayRef list, PMStringRef option, PMStringRef choice);
// The encoding of the PPD texts that libcups hands out.
OSStatus GetCFStringEncodingFromPPD(ppd_file_t* ppd, PMStringEncoding* encoding);
// The table of PPD LanguageEncoding names (compared without regard to case, spaces, '-' or '_').
PMStringEncoding EncodingForPPDLanguageEncoding(const char* name);

// Builds the key set from the information dictionary's "PMPPDKeysSupported" list: one record
// per listed keyword that is an option of `ppd`, in list order. `keySet` is null when the
// dictionary has no such key. `panelNeeded` tells whether any listed option exists.
OSStatus BuildKeySet(ppd_file_t* ppd, PMDictionaryRef infoDictionary, PMMutableArrayRef* keySet, bool* panelNeeded);
