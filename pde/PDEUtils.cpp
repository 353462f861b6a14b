// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands us.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/PDEUtils.h"

#include <strings.h>
#include <cctype>
#include <cstring>
#include <string>

namespace {

// Keywords go to libcups as zero-terminated ASCII; PPD keywords are at most 40 characters.
const PMIndex kKeywordBufferSize = 256;

void Replace(PMTypeRef* slot, PMTypeRef value) {
  if (*slot == value) return;
  PMRelease(*slot);
  *slot = PMRetain(value);
}

// A string from libcups text: in `encoding`, else (bytes not valid in it) read as ISO Latin 1,
// which takes any bytes, so that a text never goes missing.
PMStringRef MakeText(const char* text, PMStringEncoding encoding) {
  PMStringRef s = PMStringCreateWithCString(nullptr, text, encoding);
  if (!s) s = PMStringCreateWithCString(nullptr, text, kPMStringEncodingISOLatin1);
  return s;
}

}  // namespace

bool IsTrueChoice(const char* choice) {
  return choice && (strcasecmp(choice, "True") == 0 || strcasecmp(choice, "On") == 0 || strcasecmp(choice, "Yes") == 0);
}

const void* KeySetInfoRetain(PMAllocatorRef allocator, const void* value) {
  if (!value) return nullptr;
  auto* copy = static_cast<KeySetInfo*>(PMAllocatorAllocate(allocator, sizeof(KeySetInfo)));
  if (!copy) return nullptr;
  const auto* from = static_cast<const KeySetInfo*>(value);
  *copy = *from;
  PMRetain(copy->keyStringRef);
  PMRetain(copy->PPDkeyInfoArrayRef);
  PMRetain(copy->PPDUISetRef);
  PMRetain(copy->keyControlRef);
  PMRetain(copy->keyMenuRef);
  PMRetain(copy->keyDefault);
  return copy;
}

void KeySetInfoReleasae(PMAllocatorRef allocator, const void* value) {
  if (!value) return;
  auto* info = static_cast<KeySetInfo*>(const_cast<void*>(value));
  PMRelease(info->keyStringRef);
  PMRelease(info->PPDkeyInfoArrayRef);
  PMRelease(info->PPDUISetRef);
  PMRelease(info->keyControlRef);
  PMRelease(info->keyMenuRef);
  PMRelease(info->keyDefault);
  PMAllocatorDeallocate(allocator, info);
}

bool KeySetInfoEqual(const void* value1, const void* value2) {
  const auto* a = static_cast<const KeySetInfo*>(value1);
  const auto* b = static_cast<const KeySetInfo*>(value2);
  if (a == b) return true;
  if (!a || !b) return false;
  return PMEqual(a->keyStringRef, b->keyStringRef) && PMEqual(a->PPDkeyInfoArrayRef, b->PPDkeyInfoArrayRef) &&
         PMEqual(a->PPDUISetRef, b->PPDUISetRef) && PMEqual(a->keyControlRef, b->keyControlRef) &&
         PMEqual(a->keyMenuRef, b->keyMenuRef) && PMEqual(a->keyDefault, b->keyDefault);
}

const PMArrayCallBacks keyStructValueCallBacks = {0, KeySetInfoRetain, KeySetInfoReleasae, nullptr, KeySetInfoEqual};

PMStringRef KeySetInfoGetStringRef(const KeySetInfo* info) { return info ? info->keyStringRef : nullptr; }
void KeySetInfoSetStringRef(KeySetInfo* info, PMStringRef value) {
  if (info) Replace(reinterpret_cast<PMTypeRef*>(&info->keyStringRef), value);
}
PMMutableArrayRef KeySetInfoGetInfoArrayRef(const KeySetInfo* info) {
  return info ? info->PPDkeyInfoArrayRef : nullptr;
}
void KeySetInfoSetInfoArrayRef(KeySetInfo* info, PMMutableArrayRef value) {
  if (!info || info->PPDkeyInfoArrayRef == value) return;
  PMRelease(info->PPDkeyInfoArrayRef);
  PMRetain(value);
  info->PPDkeyInfoArrayRef = value;
}
PMMutableArrayRef KeySetInfoGetUISetRef(const KeySetInfo* info) { return info ? info->PPDUISetRef : nullptr; }
void KeySetInfoSetUISetRef(KeySetInfo* info, PMMutableArrayRef value) {
  if (!info || info->PPDUISetRef == value) return;
  PMRelease(info->PPDUISetRef);
  PMRetain(value);
  info->PPDUISetRef = value;
}
PMNumberRef KeySetInfoGetDefaultRef(const KeySetInfo* info) { return info ? info->keyDefault : nullptr; }
void KeySetInfoSetDefaultRef(KeySetInfo* info, PMNumberRef value) {
  if (info) Replace(reinterpret_cast<PMTypeRef*>(&info->keyDefault), value);
}

namespace {

// The reference is kept whole: on a 64-bit system a pointer does not fit 4 bytes.
void SetPointerData(PMDataRef* slot, const void* pointer) {
  PMDataRef data = pointer ? PMDataCreate(nullptr, reinterpret_cast<const UInt8*>(&pointer), sizeof pointer) : nullptr;
  PMRelease(*slot);
  *slot = data;
}

void* GetPointerData(PMDataRef data) {
  void* pointer = nullptr;
  if (data && PMDataGetLength(data) == PMIndex(sizeof pointer))
    std::memcpy(&pointer, PMDataGetBytePtr(data), sizeof pointer);
  return pointer;
}

}  // namespace

void KeySetInfoSetControlRef(KeySetInfo* info, ControlRef control) {
  if (info) SetPointerData(&info->keyControlRef, control);
}
ControlRef KeySetInfoGetControlRef(const KeySetInfo* info) {
  return info ? static_cast<ControlRef>(GetPointerData(info->keyControlRef)) : nullptr;
}
void KeySetInfoSetMenuRef(KeySetInfo* info, MenuRef menu) {
  if (info) SetPointerData(&info->keyMenuRef, menu);
}
MenuRef KeySetInfoGetMenuRef(const KeySetInfo* info) {
  return info ? static_cast<MenuRef>(GetPointerData(info->keyMenuRef)) : nullptr;
}

OSStatus GetTicketFromSession(PMPrintSession session, const char* ticketKey, PMTicketRef* ticket) {
  if (!ticket) return kPMInvalidTicket;
  PMStringRef key = PMStringCreateWithCString(nullptr, ticketKey, kPMStringEncodingASCII);
  if (!key) return kPMGeneralError;
  PMTypeRef data = nullptr;
  OSStatus status = PMSessionGetDataFromSession(session, key, &data);
  PMRelease(key);
  if (status != kPMNoError) return status;
  SInt32 value = 0;
  if (PMGetTypeID(data) != PMNumberGetTypeID() ||
      !PMNumberGetValue(static_cast<PMNumberRef>(data), kPMNumberSInt32Type, &value))
    return kPMInvalidTicket;
  *ticket = PMTicketRef(value);
  return kPMNoError;
}

OSStatus GetPPDRefFromSession(PMPrintSession session, ppd_file_t** ppd) {
  if (!ppd) return kPMInvalidParameter;
  *ppd = nullptr;
  PMStringRef key = PMStringCreateWithCString(nullptr, kPMPPDReference, kPMStringEncodingASCII);
  if (!key) return kPMGeneralError;
  PMTypeRef data = nullptr;
  OSStatus status = PMSessionGetDataFromSession(session, key, &data);
  PMRelease(key);
  if (status == kPMNoError && PMGetTypeID(data) == PMDataGetTypeID() &&
      PMDataGetLength(static_cast<PMDataRef>(data)) == PMIndex(sizeof(ppd_file_t*)))
    std::memcpy(ppd, PMDataGetBytePtr(static_cast<PMDataRef>(data)), sizeof(ppd_file_t*));
  return status;
}

PMStringEncoding EncodingForPPDLanguageEncoding(const char* name) {
  if (!name) return kPMStringEncodingMacRoman;
  std::string n;
  for (const char* p = name; *p; ++p)
    if (*p != ' ' && *p != '-' && *p != '_') n += char(std::tolower(static_cast<unsigned char>(*p)));
  if (n == "isolatin1") return kPMStringEncodingISOLatin1;
  if (n == "windowsansi") return kPMStringEncodingWindowsLatin1;
  if (n == "jis83rksj") return kPMStringEncodingMacJapanese;
  if (n == "utf8") return kPMStringEncodingUTF8;
  return kPMStringEncodingMacRoman;
}

OSStatus GetCFStringEncodingFromPPD(ppd_file_t* ppd, PMStringEncoding* encoding) {
  if (!encoding) return kPMInvalidParameter;
  // libcups converts every text to UTF-8 while it reads the PPD; it reports "UTF-8" when the
  // PPD names its encoding and nothing when it does not (the texts are UTF-8 all the same).
  // Converting them again from the PPD's own encoding would garble every non-ASCII text.
  if (!ppd || !ppd->lang_encoding) {
    *encoding = kPMStringEncodingUTF8;
    return kPMNoError;
  }
  *encoding = EncodingForPPDLanguageEncoding(ppd->lang_encoding);
  return kPMNoError;
}

bool IsPPDChoiceConflicted(ppd_file_t* ppd, const char* keyword, const char* choiceName) {
  if (!ppd || !keyword || !choiceName) return false;
  ppd_option_t* option = ppdFindOption(ppd, keyword);
  if (!option) return false;
  ppd_choice_t* choice = ppdFindChoice(option, choiceName);
  if (!choice) return false;
  if (ppdIsMarked(ppd, option->keyword, choice->choice)) return option->conflicted != 0;
  ppd_choice_t* marked = ppdFindMarkedChoice(ppd, option->keyword);
  char saved[PPD_MAX_NAME + 1] = "";
  if (marked) std::strncpy(saved, marked->choice, PPD_MAX_NAME);
  ppdMarkOption(ppd, option->keyword, choice->choice);
  bool conflicted = option->conflicted != 0;
  if (marked) {
    ppdMarkOption(ppd, option->keyword, saved);
  } else {
    // libcups keeps the marks in a list besides each choice's flag; both must forget it.
    choice->marked = 0;
    cupsArrayRemove(ppd->marked, choice);
    ppdConflicts(ppd);
  }
  return conflicted;
}

OSStatus GetUIListFromPPD(ppd_file_t* ppd, const char* keyword, PMMutableArrayRef list, ppd_option_t* option,
                          SInt16* defaultValue) {
  SInt16 value = 1;
  PMStringEncoding encoding = kPMStringEncodingUTF8;
  GetCFStringEncodingFromPPD(ppd, &encoding);
  if (list && option && option->num_choices > 0) {
    // A checkbox's value is the index of its choice: 0 unchecked, 1 checked. Many PPDs list a
    // boolean's True before its False; that pair is taken the other way round so that a
    // checked box means True.
    bool swap = option->ui == PPD_UI_BOOLEAN && option->num_choices == 2 && IsTrueChoice(option->choices[0].choice) &&
                !IsTrueChoice(option->choices[1].choice);
    for (int i = 0; i < option->num_choices; ++i) {
      ppd_choice_t* choice = &option->choices[swap ? 1 - i : i];
      PMStringRef strings[4];
      strings[kKeyInfoOption] = MakeText(keyword, kPMStringEncodingUTF8);
      strings[kKeyInfoChoice] = MakeText(choice->choice, kPMStringEncodingUTF8);
      strings[kKeyInfoText] = MakeText(choice->text, encoding);
      strings[kKeyInfoConflict] = PMStringCreateWithCString(
          nullptr, IsPPDChoiceConflicted(ppd, keyword, choice->choice) ? kConflictTrue : kConflictFalse,
          kPMStringEncodingASCII);
      bool complete = strings[0] && strings[1] && strings[2] && strings[3];
      PMArrayRef entry =
          complete ? PMArrayCreate(nullptr, reinterpret_cast<const void**>(strings), 4, &kPMTypeArrayCallBacks)
                   : nullptr;
      for (PMStringRef s : strings) PMRelease(s);
      // An entry that cannot be made would shift every later index: stop at the last good one.
      if (!entry || !PMArrayAppendValue(list, entry)) {
        PMRelease(entry);
        break;
      }
      PMRelease(entry);
      if (std::strcmp(option->defchoice, choice->choice) == 0) {
        value = SInt16(i + 1);
      } else if (option->ui == PPD_UI_BOOLEAN) {
        value = std::strcmp(option->text, "On") == 0 ? 1 : 0;
      }
    }
  }
  if (defaultValue) *defaultValue = value;
  return kPMNoError;
}

SInt16 FindPPDKeyPairsMatch(PMArrayRef list, PMStringRef option, PMStringRef choice) {
  PMIndex count = PMArrayGetCount(list);
  for (PMIndex i = 0; i < count && i < 0x7fff; ++i) {
    auto entry = static_cast<PMArrayRef>(PMArrayGetValueAtIndex(list, i));
    if (PMEqual(static_cast<PMTypeRef>(PMArrayGetValueAtIndex(entry, kKeyInfoOption)), option) &&
        PMEqual(static_cast<PMTypeRef>(PMArrayGetValueAtIndex(entry, kKeyInfoChoice)), choice))
      return SInt16(i);
  }
  return -1;
}

OSStatus BuildKeySet(ppd_file_t* ppd, PMDictionaryRef info, PMMutableArrayRef* keySet, bool* panelNeeded) {
  *keySet = nullptr;
  *panelNeeded = false;
  PMTypeRef keys[200], values[200];
  PMIndex count = PMDictionaryGetKeysAndValues(info, keys, values, 200);
  OSStatus status = kPMNoError;
  for (PMIndex k = 0; k < count; ++k) {
    if (tarvell::printing::ToStdString(keys[k]) != "PMPPDKeysSupported") continue;
    if (PMGetTypeID(values[k]) != PMArrayGetTypeID()) continue;
    if (!*keySet) {
      *keySet = PMArrayCreateMutable(nullptr, 0, &keyStructValueCallBacks);
      if (!*keySet) return kPMGeneralError;
    }
    auto list = static_cast<PMArrayRef>(values[k]);
    for (PMIndex i = 0; i < PMArrayGetCount(list); ++i) {
      auto keyword = static_cast<PMTypeRef>(PMArrayGetValueAtIndex(list, i));
      char name[kKeywordBufferSize];
      if (PMGetTypeID(keyword) != PMStringGetTypeID() ||
          !PMStringGetCString(static_cast<PMStringRef>(keyword), name, sizeof name, kPMStringEncodingASCII))
        continue;
      ppd_option_t* option = ppd ? ppdFindOption(ppd, name) : nullptr;
      if (!option) continue;
      *panelNeeded = true;
      KeySetInfo blank{};
      if (!PMArrayAppendValue(*keySet, &blank)) {
        status = kPMGeneralError;
        continue;
      }
      auto* record =
          static_cast<KeySetInfo*>(const_cast<void*>(PMArrayGetValueAtIndex(*keySet, PMArrayGetCount(*keySet) - 1)));
      KeySetInfoSetStringRef(record, static_cast<PMStringRef>(keyword));
      PMMutableArrayRef choices = PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks);
      if (!choices) status = kPMGeneralError;
      KeySetInfoSetInfoArrayRef(record, choices);
      SInt16 defaultValue = 1;
      GetUIListFromPPD(ppd, name, choices, option, &defaultValue);
      PMRelease(choices);
      PMNumberRef number = PMNumberCreate(nullptr, kPMNumberSInt16Type, &defaultValue);
      KeySetInfoSetDefaultRef(record, number);
      PMRelease(number);
    }
  }
  return status;
}
