// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands us.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/FinishingControls.h"

#include "pde/ChoiceBlockers.h"

#include <string>

namespace {

KeySetInfo* RecordAt(PMArrayRef keySet, PMIndex i) {
  return static_cast<KeySetInfo*>(const_cast<void*>(PMArrayGetValueAtIndex(keySet, i)));
}

PMArrayRef InfoArrayAt(const KeySetInfo* info, PMIndex i) {
  return static_cast<PMArrayRef>(PMArrayGetValueAtIndex(KeySetInfoGetInfoArrayRef(info), i));
}

PMStringRef InfoString(PMArrayRef entry, int which) {
  return static_cast<PMStringRef>(PMArrayGetValueAtIndex(entry, which));
}

SInt16 DefaultOf(const KeySetInfo* info) {
  SInt16 value = 1;
  PMNumberGetValue(KeySetInfoGetDefaultRef(info), kPMNumberSInt16Type, &value);
  return value;
}

// The option's own text from the PPD, as a string (libcups hands it out in UTF-8).
PMStringRef CopyOptionText(ppd_file_t* ppd, ppd_option_t* option) {
  if (!option || !option->text[0]) return nullptr;
  PMStringEncoding encoding = kPMStringEncodingUTF8;
  GetCFStringEncodingFromPPD(ppd, &encoding);
  PMStringRef s = PMStringCreateWithCString(nullptr, option->text, encoding);
  return s ? s : PMStringCreateWithCString(nullptr, option->text, kPMStringEncodingISOLatin1);
}

}  // namespace

PMStringRef CopyOptionLabel(ppd_file_t* ppd, PMBundleRef bundle, const char* keyword) {
  PMStringRef text = CopyOptionText(ppd, ppd ? ppdFindOption(ppd, keyword) : nullptr);
  PMStringRef label = CopyDisplayText(bundle, keyword, text);
  PMRelease(text);
  return label;
}

PMStringRef CopyDisplayText(PMBundleRef bundle, const char* keyword, PMStringRef fallback) {
  PMStringRef key = PMStringCreateWithCString(nullptr, keyword, kPMStringEncodingUTF8);
  if (!key) key = PMStringCreateWithCString(nullptr, keyword, kPMStringEncodingISOLatin1);
  if (!key) return nullptr;
  PMStringRef text = PMBundleCopyLocalizedString(bundle, key, fallback, nullptr);
  PMRelease(key);
  return text;
}

void PositionControl(ControlRef parentPane, Rect* rect) {
  Rect bounds{0, 0, 0, 0};
  GetControlBounds(parentPane, &bounds);
  int half = (bounds.right - bounds.left) / 2;
  if (half < 0) half = 0;
  rect->top = SInt16(bounds.top + 20);
  rect->left = SInt16(half + 9);
  rect->right = SInt16(rect->left + half + 5);
  rect->bottom = SInt16(rect->top + 20);
}

OSStatus EmbedAndShowControl(ControlRef control, ControlRef container) {
  OSStatus status = EmbedControl(control, container);
  if (status == noErr) {
    ShowControl(control);
    Draw1Control(control);
  }
  return status;
}

OSStatus CreateControlFromContext(ppd_file_t* ppd, Rect* rect, PMBundleRef bundle, SInt16* lastControlType,
                                  ControlRef parentPane, KeySetInfo* info, SInt32 controlID) {
  std::string keyword = tarvell::printing::ToStdString(KeySetInfoGetStringRef(info));
  ppd_option_t* option = ppd ? ppdFindOption(ppd, keyword.c_str()) : nullptr;
  if (!option) return noErr;
  bool checkbox = option->ui == PPD_UI_BOOLEAN;
  if (!checkbox && option->num_choices == 1) return noErr;

  if (*lastControlType == kControlTypeCheckbox) {
    if (checkbox) {
      rect->bottom = SInt16(rect->top + 18);
    } else {
      rect->top = SInt16(rect->top + 12);
      rect->bottom = SInt16(rect->top + 20);
    }
  } else if (checkbox) {
    rect->top = SInt16(rect->top + 6);
    rect->bottom = SInt16(rect->top + 18);
  }

  SInt16 initial = DefaultOf(info);
  WindowRef window = GetControlOwner(parentPane);
  OSStatus status = noErr;
  PMStringRef label = CopyOptionLabel(ppd, bundle, keyword.c_str());

  if (checkbox) {
    ControlRef control = NewControl(window, rect, nullptr, true, 0, 0, 1, kControlCheckBoxProc, controlID);
    if (!control) {
      status = kPMGeneralError;
    } else {
      status = EmbedAndShowControl(control, parentPane);
      KeySetInfoSetControlRef(info, control);
      KeySetInfoSetMenuRef(info, nullptr);
      if (label) SetControlTitleWithCFString(control, label);
      SetControlValue(control, initial);
    }
    *lastControlType = kControlTypeCheckbox;
  } else {
    ControlRef popup = nullptr;
    status = CreatePopupButtonControl(window, rect, nullptr, kPopupMenuID, true, 0, teFlushDefault, 0, &popup);
    MenuRef menu = nullptr;
    if (status == noErr && CreateNewMenu(MenuID(controlID + 1), 0, &menu) == noErr) {
      PMArrayRef choices = KeySetInfoGetInfoArrayRef(info);
      for (PMIndex i = 0; i < PMArrayGetCount(choices); ++i) {
        PMArrayRef entry = InfoArrayAt(info, i);
        std::string choice = tarvell::printing::ToStdString(InfoString(entry, kKeyInfoChoice));
        PMStringRef text = CopyDisplayText(bundle, choice.c_str(), InfoString(entry, kKeyInfoText));
        if (text && (PMStringHasPrefix(text, "-") || PMStringHasPrefix(text, "+"))) {
          // A leading '-' or '+' would be read as a separator or a style marker.
          std::string spaced = std::string(" ") + PMStringGetCStringPtr(text);
          PMRelease(text);
          text = PMStringCreateWithCString(nullptr, spaced.c_str(), kPMStringEncodingUTF8);
        }
        MenuItemIndex item = 0;
        status = text ? AppendMenuItemTextWithCFString(menu, text, 0, 0, &item) : memFullErr;
        PMRelease(text);
        if (status == noErr) UpdateChoiceItem(ppd, bundle, menu, item, keyword.c_str(), choice.c_str());
      }
      SetControlPopupMenu(popup, menu);
      SetControlMinimum(popup, 1);
      SetControlMaximum(popup, SInt16(CountMenuItems(menu)));
      if (label) SetControlTitleWithCFString(popup, label);
      SetControlValue(popup, initial);
      status = EmbedAndShowControl(popup, parentPane);

      Rect bounds;
      GetControlBounds(popup, &bounds);
      SInt16 width = SInt16(bounds.right - bounds.left);
      Rect labelRect{SInt16(bounds.top + 2), SInt16(bounds.left - width - 28), SInt16(bounds.bottom - 2),
                     SInt16(bounds.left - 4)};
      std::string labelText = tarvell::printing::ToStdString(label) + ":";
      PMStringRef labelString = PMStringCreateWithCString(nullptr, labelText.c_str(), kPMStringEncodingUTF8);
      ControlFontStyleRec style{kControlUseJustMask, 0, 0, 0, 0, teFlushRight};
      ControlRef staticText = nullptr;
      status = CreateStaticTextControl(window, &labelRect, labelString, &style, &staticText);
      PMRelease(labelString);
      if (status == noErr) status = EmbedAndShowControl(staticText, parentPane);
    }
    // The pop-up holds its own reference to the menu; the record keeps the bytes only.
    if (menu) ReleaseMenu(menu);
    KeySetInfoSetControlRef(info, popup);
    KeySetInfoSetMenuRef(info, menu);
    *lastControlType = kControlTypePopup;
  }
  PMRelease(label);

  rect->top = SInt16(rect->bottom + (*lastControlType == kControlTypePopup ? 12 : 4));
  rect->bottom = SInt16(rect->top + 20);
  return status;
}

OSStatus FinishingSync(FinishingContext* context, PMPrintSession session, Boolean direction) {
  if (!context || !session) return kPMInvalidPrintSession;
  PMTicketRef ticket = 0;
  OSStatus status = GetTicketFromSession(session, kPDE_PMPrintSettingsRef, &ticket);
  if (status != kPMNoError) return status;
  ppd_file_t* ppd = nullptr;
  GetPPDRefFromSession(session, &ppd);
  PMArrayRef keySet = context->PPDKeySetInfoRef;
  PMIndex count = PMArrayGetCount(keySet);

  if (!direction) {
    for (PMIndex i = 0; i < count; ++i) {
      KeySetInfo* info = RecordAt(keySet, i);
      ControlRef control = KeySetInfoGetControlRef(info);
      if (!control || !IsControlActive(control)) continue;
      SInt16 value = GetControlValue(control);
      if (GetControlKind(control) == kControlKindPopupButton) value -= 1;
      PMArrayRef entry = InfoArrayAt(info, value);
      if (!entry) continue;  // a value with no choice behind it (e.g. a pop-up without items)
      PMMutableDictionaryRef dict = nullptr;
      status = PMTicketGetPPDDict(ticket, &dict);
      if (status != kPMNoError || !dict) continue;
      PMStringRef option = InfoString(entry, kKeyInfoOption);
      PMStringRef choice = InfoString(entry, kKeyInfoChoice);
      PMDictionarySetValue(dict, option, choice);
      if (ppd) ppdMarkOption(ppd, PMStringGetCStringPtr(option), PMStringGetCStringPtr(choice));
    }
    return status;
  }

  PMMutableDictionaryRef dict = nullptr;
  status = PMTicketGetPPDDict(ticket, &dict);
  if (status != kPMNoError) return status;
  for (PMIndex i = 0; i < count; ++i) {
    KeySetInfo* info = RecordAt(keySet, i);
    ControlRef control = KeySetInfoGetControlRef(info);
    PMStringRef keyword = KeySetInfoGetStringRef(info);
    std::string name = tarvell::printing::ToStdString(keyword);
    PMTypeRef value = PMDictionaryGetValue(dict, keyword);
    SInt16 index = -1;
    if (PMGetTypeID(value) == PMStringGetTypeID()) {
      index = FindPPDKeyPairsMatch(KeySetInfoGetInfoArrayRef(info), keyword, static_cast<PMStringRef>(value));
      MenuRef menu = KeySetInfoGetMenuRef(info);
      if (menu) {
        PMArrayRef choices = KeySetInfoGetInfoArrayRef(info);
        for (PMIndex c = 0; c < PMArrayGetCount(choices); ++c) {
          std::string choice = tarvell::printing::ToStdString(InfoString(InfoArrayAt(info, c), kKeyInfoChoice));
          UpdateChoiceItem(ppd, context->theBundleRef, menu, MenuItemIndex(c + 1), name.c_str(), choice.c_str());
        }
      }
      if (index >= 0 && control)
        SetControlValue(control, SInt16(GetControlKind(control) == kControlKindPopupButton ? index + 1 : index));
    }
    if (index < 0 && control) SetControlValue(control, DefaultOf(info));
  }
  return status;
}

OSStatus AllControlConstraintFixer(EventHandlerCallRef nextHandler, EventRef event, void* userData) {
  try {
    OSStatus result = nextHandler ? CallNextEventHandler(nextHandler, event) : noErr;
    auto* context = static_cast<FinishingContext*>(userData);
    if (context) {
      FinishingSync(context, context->printSession, false);
      FinishingSync(context, context->printSession, true);
    }
    return result;
  } catch (...) {
    return kPMGeneralError;
  }
}

OSStatus FinishingGetSummaryText(FinishingContext* context, PMArrayRef* titles, PMArrayRef* summaries) {
  if (!context) return kPMInvalidPDEContext;
  if (!titles || !summaries) return kPMInvalidParameter;
  *titles = nullptr;
  *summaries = nullptr;
  PMMutableArrayRef titleArray = PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks);
  PMMutableArrayRef summaryArray = titleArray ? PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks) : nullptr;
  if (!titleArray || !summaryArray) {
    PMRelease(titleArray);
    return memFullErr;
  }
  OSStatus status = noErr;
  PMArrayRef keySet = context->PPDKeySetInfoRef;
  for (PMIndex i = 0; i < PMArrayGetCount(keySet); ++i) {
    KeySetInfo* info = RecordAt(keySet, i);
    ControlRef control = KeySetInfoGetControlRef(info);
    if (!control || !IsControlActive(control)) continue;
    std::string keyword = tarvell::printing::ToStdString(KeySetInfoGetStringRef(info));
    PMStringRef title = CopyOptionLabel(context->ppd, context->theBundleRef, keyword.c_str());
    if (!title) continue;
    PMStringRef summary = nullptr;
    SInt16 value = GetControlValue(control);
    if (GetControlKind(control) == kControlKindPopupButton) {
      OSStatus s = CopyMenuItemTextAsCFString(KeySetInfoGetMenuRef(info), MenuItemIndex(value), &summary);
      if (s != noErr && status == noErr) status = s;
    } else if (value == 0 || value == 1) {
      summary = CopyDisplayText(context->theBundleRef, value ? "On" : "Off", nullptr);
    }
    if (status == noErr && summary) {
      PMArrayAppendValue(titleArray, title);
      PMArrayAppendValue(summaryArray, summary);
    }
    PMRelease(summary);
    PMRelease(title);
  }
  *titles = titleArray;
  *summaries = summaryArray;
  return status;
}
