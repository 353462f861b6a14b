// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands the print dialog.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/dialog/DialogHost.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pde/FinishingPlugin.h"
#include "platform/system/SystemInfo.h"

namespace tarvell {
namespace dialog {

std::unique_ptr<PlugInHost> PlugInHost::Load(const std::string& bundlePath, std::string* error) {
  std::unique_ptr<PlugInHost> host(new PlugInHost);
  host->bundle_ = PMBundleCreate(bundlePath.c_str(), error);
  if (!host->bundle_) return nullptr;
  PMUUIDRef type = PMUUIDCreateFromString(nullptr, kPDEPlugInTypeUUIDString);
  PMArrayRef factories = PMPlugInFindFactoriesForPlugInType(type);
  for (PMIndex i = 0; i < PMArrayGetCount(factories) && !host->instance_; ++i) {
    auto factory = static_cast<PMUUIDRef>(PMArrayGetValueAtIndex(factories, i));
    if (PMPlugInGetBundleForFactory(factory) != host->bundle_) continue;
    host->instance_ = static_cast<IUnknownVTbl**>(PMPlugInInstanceCreate(nullptr, factory, type, error));
  }
  bool none = PMArrayGetCount(factories) == 0;
  PMRelease(factories);
  PMRelease(type);
  if (!host->instance_) {
    if (none && error) *error = bundlePath + ": the bundle declares no print dialog extension";
    return nullptr;
  }
  return host;
}

std::unique_ptr<PlugInHost> PlugInHost::Adopt(PMBundleRef bundle, IUnknownVTbl** instance) {
  std::unique_ptr<PlugInHost> host(new PlugInHost);
  host->bundle_ = bundle;
  host->instance_ = instance;
  return host;
}

PlugInHost::~PlugInHost() {
  if (instance_) (*instance_)->Release(instance_);
  PMBundleRelease(bundle_);
}

PMPDEInterface* PlugInHost::NewInterface(HRESULT* result) {
  PMUUIDRef iid = PMUUIDCreateFromString(nullptr, kDialogExtensionIntfIDStr);
  void* intf = nullptr;
  HRESULT r = (*instance_)->QueryInterface(instance_, PMUUIDGetUUIDBytes(iid), &intf);
  PMRelease(iid);
  if (result) *result = r;
  return r == S_OK ? static_cast<PMPDEInterface*>(intf) : nullptr;
}

std::vector<std::string> PlugInHost::SupportedKeywords() const {
  std::vector<std::string> keywords;
  PMTypeRef list = PMDictionaryGetValueForCString(PMBundleGetInfoDictionary(bundle_), "PMPPDKeysSupported");
  if (PMGetTypeID(list) != PMArrayGetTypeID()) return keywords;
  auto array = static_cast<PMArrayRef>(list);
  for (PMIndex i = 0; i < PMArrayGetCount(array); ++i)
    keywords.push_back(printing::ToStdString(static_cast<PMTypeRef>(PMArrayGetValueAtIndex(array, i))));
  return keywords;
}

std::string DefaultBundle() {
  const std::string dir = ProgramDirectory();
  if (!dir.empty()) {
    const std::string installed = dir + "/" TARVELL_INSTALLED_BUNDLE;
    if (access((installed + "/Contents/Info.plist").c_str(), R_OK) == 0) return installed;
  }
  return TARVELL_BUILT_BUNDLE;
}

const std::vector<PanelLanguage>& PanelLanguages() {
  static const std::vector<PanelLanguage> languages = {{"en", "English"}, {"de", "German"}};
  return languages;
}

std::string PanelLanguageList() {
  std::string list;
  for (const PanelLanguage& language : PanelLanguages())
    list += std::string(list.empty() ? "" : ", ") + language.code + " (" + language.name + ")";
  return list;
}

int ReadDialogArgument(int argc, char** argv, int* i, DialogArguments* arguments, std::string* error) {
  const std::string arg = argv[*i];
  std::string* value = arg == "--ppd"       ? &arguments->ppd
                       : arg == "--printer" ? &arguments->printer
                       : arg == "--bundle"  ? &arguments->bundle
                       : arg == "--lang"    ? &arguments->language
                                            : nullptr;
  if ((!value && arg != "--set") || *i + 1 >= argc) return 0;
  const std::string text = argv[++*i];
  if (value == &arguments->language &&
      std::none_of(PanelLanguages().begin(), PanelLanguages().end(),
                   [&](const PanelLanguage& language) { return text == language.code; })) {
    *error = "there are no texts in language '" + text + "': give --lang " + PanelLanguageList();
    return -1;
  }
  if (value) {
    *value = text;
    return 1;
  }
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    *error = "--set needs OPTION=CHOICE, got \"" + text + "\"";
    return -1;
  }
  arguments->choices.emplace_back(text.substr(0, eq), text.substr(eq + 1));
  return 1;
}

ppd_file_t* OpenPPD(const std::string& path, std::string* error) {
  // libcups says neither that the file is missing nor that it is a folder.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    if (error)
      *error = "cannot read PPD " + path + ": " +
               (S_ISDIR(st.st_mode) ? std::string("it is a folder; give the PPD file") : std::strerror(errno));
    return nullptr;
  }
  ppd_file_t* ppd = ppdOpenFile(path.c_str());
  if (!ppd && error) {
    int line = 0;
    ppd_status_t status = ppdLastError(&line);
    *error = "cannot read PPD " + path + ": " + ppdErrorString(status) +
             (status == PPD_FILE_OPEN_ERROR ? "" : " (line " + std::to_string(line) + ")");
  }
  return ppd;
}

namespace {

void SetData(PMPrintSession session, const char* key, PMTypeRef value) {
  PMStringRef k = PMStringCreateWithCString(nullptr, key, kPMStringEncodingASCII);
  PMSessionSetDataInSession(session, k, value);
  PMRelease(k);
  PMRelease(value);
}

PMTypeRef TicketNumber(PMTicketRef ticket) {
  SInt32 v = SInt32(ticket);
  return PMNumberCreate(nullptr, kPMNumberSInt32Type, &v);
}

void Collect(ControlRef parent, std::vector<ControlRef>* out) {
  for (UInt16 i = 1; i <= CountSubControls(parent); ++i) {
    ControlRef c = GetIndexedSubControl(parent, i);
    out->push_back(c);
    Collect(c, out);
  }
}

}  // namespace

PanelSession::PanelSession(PlugInHost& host, ppd_file_t* ppd) : host_(host), ppd_(ppd) {
  Rect windowBounds{0, 0, 600, 800};
  CreateNewWindow(&windowBounds, &window_);
  ControlRef root = nullptr;
  GetRootControl(window_, &root);
  Rect paneBounds{0, 0, 300, 400};
  CreateUserPaneControl(window_, &paneBounds, 0, &pane_);
  EmbedControl(pane_, root);
  PMCreateSession(&session_);
  PMTicketCreate(&settings_);
  PMTicketCreate(&printerInfo_);
  PMMutableDictionaryRef dict = PMDictionaryCreateMutable(nullptr);
  PMTicketSetPPDDict(settings_, dict);
  PMRelease(dict);
  SetData(session_, kPDE_PMPrintSettingsRef, TicketNumber(settings_));
  SetData(session_, kPDE_PMPrinterInfoRef, TicketNumber(printerInfo_));
  if (ppd_)
    SetData(session_, kPMPPDReference, PMDataCreate(nullptr, reinterpret_cast<const UInt8*>(&ppd_), sizeof ppd_));
  interface_ = host_.NewInterface();
}

PanelSession::~PanelSession() {
  if (context_ && !terminated_) Terminate();
  if (interface_) {
    auto header = reinterpret_cast<PMPlugInHeaderInterface*>(interface_);
    interface_->vtable->plugInHeader.Release(&header);
  }
  PMSessionRelease(session_);
  PMTicketRelease(settings_);
  PMTicketRelease(printerInfo_);
  DisposeWindow(window_);
}

OSStatus PanelSession::Prologue() {
  if (!interface_) return kPMInvalidPDEContext;
  PMStringRef kind = nullptr, title = nullptr;
  OSStatus status = interface_->vtable->Prologue(&context_, &creator_, &kind, &title, &maxH_, &maxV_);
  kind_ = printing::ToStdString(kind);
  title_ = printing::ToStdString(title);
  PMRelease(kind);
  PMRelease(title);
  return status;
}

OSStatus PanelSession::Initialize() {
  PMPDEFlags flags = 1;
  return interface_->vtable->Initialize(context_, &flags, nullptr, pane_, session_);
}

OSStatus PanelSession::Open() { return interface_->vtable->Open(context_); }

OSStatus PanelSession::Sync(bool settingsToControls) {
  return interface_->vtable->Sync(context_, session_, settingsToControls);
}

OSStatus PanelSession::GetSummary(std::vector<std::pair<std::string, std::string>>* lines) {
  PMArrayRef titles = nullptr, summaries = nullptr;
  OSStatus status = interface_->vtable->GetSummaryText(context_, &titles, &summaries);
  if (lines) {
    lines->clear();
    for (PMIndex i = 0; i < PMArrayGetCount(titles) && i < PMArrayGetCount(summaries); ++i)
      lines->emplace_back(printing::ToStdString(static_cast<PMTypeRef>(PMArrayGetValueAtIndex(titles, i))),
                          printing::ToStdString(static_cast<PMTypeRef>(PMArrayGetValueAtIndex(summaries, i))));
  }
  PMRelease(titles);
  PMRelease(summaries);
  return status;
}

OSStatus PanelSession::Close() { return interface_->vtable->Close(context_); }

OSStatus PanelSession::Terminate() {
  terminated_ = true;
  OSStatus status = interface_->vtable->Terminate(context_, noErr);
  context_ = nullptr;
  return status;
}

void ReadItemReason(MenuRef menu, MenuItemIndex item, std::string* reason, std::vector<Blocker>* blockedBy) {
  reason->clear();
  blockedBy->clear();
  PMTypeRef why = GetMenuItemProperty(menu, item, kFinishingCreator, kFinishingReasonTag);
  if (PMGetTypeID(why) != PMDictionaryGetTypeID()) return;
  auto dict = static_cast<PMDictionaryRef>(why);
  auto text = [](PMTypeRef d, const char* key) {
    return printing::ToStdString(PMDictionaryGetValueForCString(static_cast<PMDictionaryRef>(d), key));
  };
  *reason = text(dict, "text");
  PMTypeRef list = PMDictionaryGetValueForCString(dict, "blockedBy");
  if (PMGetTypeID(list) != PMArrayGetTypeID()) return;
  for (PMIndex i = 0; i < PMArrayGetCount(static_cast<PMArrayRef>(list)); ++i) {
    auto entry = static_cast<PMTypeRef>(PMArrayGetValueAtIndex(static_cast<PMArrayRef>(list), i));
    if (PMGetTypeID(entry) != PMDictionaryGetTypeID()) continue;
    PMTypeRef installable = PMDictionaryGetValueForCString(static_cast<PMDictionaryRef>(entry), "installable");
    blockedBy->push_back({text(entry, "option"), text(entry, "choice"), text(entry, "optionText"),
                          text(entry, "choiceText"),
                          PMGetTypeID(installable) == PMBooleanGetTypeID() &&
                              PMBooleanGetValue(static_cast<PMBooleanRef>(installable))});
  }
}

std::string HardwareNote(PMBundleRef bundle, const std::vector<PanelControl>& controls, const std::string& printer) {
  std::vector<std::string> seen;
  std::string named, firstOption;
  for (const PanelControl& c : controls)
    for (const PanelItem& item : c.items)
      for (const Blocker& b : item.blockedBy) {
        std::string pair = b.option + "=" + b.choice;
        if (!b.installable || std::find(seen.begin(), seen.end(), pair) != seen.end()) continue;
        seen.push_back(pair);
        if (firstOption.empty()) firstOption = b.option;
        named += std::string(named.empty() ? " " : "; ") + b.optionText + ": " + b.choiceText + " (" + pair + ")";
      }
  if (named.empty()) return "";
  auto words = [&](const char* key) {
    PMStringRef k = PMStringCreateWithCString(nullptr, key, kPMStringEncodingASCII);
    PMStringRef text = PMBundleCopyLocalizedString(bundle, k, nullptr, nullptr);
    std::string s = printing::ToStdString(text);
    PMRelease(text);
    PMRelease(k);
    return s;
  };
  std::string how = printer.empty() ? words("HardwareFile")
                                    : words("HardwareQueue") + " lpadmin -p " + printer + " -o " + firstOption + "=…";
  return words("HardwareNote") + named + ". " + how;
}

std::vector<PanelControl> PanelSession::Controls() const {
  std::vector<PanelControl> result;
  if (!ppd_) return result;
  std::vector<ControlRef> all;
  Collect(pane_, &all);
  // The panel gives the option at key set position i the identifier i * 10 + 6010 (its menu
  // i * 10 + 6011); the key set is the bundle's list, less the options this PPD lacks.
  SInt32 index = 0;
  for (const std::string& keyword : host_.SupportedKeywords()) {
    ppd_option_t* option = ppdFindOption(ppd_, keyword.c_str());
    if (!option) continue;
    SInt32 id = index++ * 10 + 6010;
    for (ControlRef c : all) {
      bool checkbox = GetControlKind(c) == kControlKindCheckBox && GetControlReference(c) == id;
      bool popup = GetControlKind(c) == kControlKindPopupButton && GetControlPopupMenu(c) &&
                   GetMenuID(GetControlPopupMenu(c)) == id + 1;
      if (!checkbox && !popup) continue;
      PanelControl pc{keyword, popup, c, GetControlValue(c), "", {}};
      PMStringRef title = nullptr;
      CopyControlTitleAsCFString(c, &title);
      pc.title = printing::ToStdString(title);
      PMRelease(title);
      if (popup) {
        MenuRef menu = GetControlPopupMenu(c);
        for (UInt16 item = 1; item <= CountMenuItems(menu); ++item) {
          PMStringRef text = nullptr;
          CopyMenuItemTextAsCFString(menu, item, &text);
          pc.items.push_back({item <= option->num_choices ? option->choices[item - 1].choice : "",
                              printing::ToStdString(text),
                              IsMenuItemEnabled(menu, item),
                              "",
                              {}});
          PMRelease(text);
          ReadItemReason(menu, item, &pc.items.back().reason, &pc.items.back().blockedBy);
        }
      }
      result.push_back(pc);
      break;
    }
  }
  return result;
}

bool PanelSession::Choose(const std::string& optionName, const std::string& choiceName, std::string* error) {
  for (const PanelControl& pc : Controls()) {
    if (pc.keyword != optionName) continue;
    ppd_option_t* option = ppdFindOption(ppd_, optionName.c_str());
    int index = -1;
    for (int i = 0; i < option->num_choices; ++i)
      if (strcasecmp(option->choices[i].choice, choiceName.c_str()) == 0) index = i;
    if (index < 0) {
      std::string known;
      for (int i = 0; i < option->num_choices; ++i) known += std::string(i ? ", " : "") + option->choices[i].choice;
      *error = "option " + optionName + " has no choice " + choiceName + " (choices: " + known + ")";
      return false;
    }
    OSStatus status = noErr;
    if (pc.popup) {
      status = ClickControl(pc.control, MenuItemIndex(index + 1));
    } else {
      // A checkbox is checked for the boolean's true choice and unchecked for the other.
      bool on = strcasecmp(option->choices[index].choice, "True") == 0 ||
                strcasecmp(option->choices[index].choice, "On") == 0 ||
                strcasecmp(option->choices[index].choice, "Yes") == 0;
      if (option->num_choices > 2) {
        *error = "checkbox " + optionName + " cannot show choice " + choiceName;
        return false;
      }
      if ((GetControlValue(pc.control) != 0) != on) status = ClickControl(pc.control);
    }
    if (status == errMenuItemDisabled) {
      const std::string& reason = pc.items[size_t(index)].reason;
      *error = "choice " + std::string(option->choices[index].choice) + " of " + optionName +
               " is disabled: " + (reason.empty() ? "it conflicts with the options chosen so far" : reason);
      return false;
    }
    if (status == errControlInactive) {
      *error = "the control of " + optionName + " is inactive";
      return false;
    }
    if (status != noErr && status != eventNotHandledErr) {
      *error = "the click on " + optionName + " failed (" + std::to_string(status) + ")";
      return false;
    }
    return true;
  }
  *error = ppdFindOption(ppd_, optionName.c_str()) ? "option " + optionName + " is not on the Finishing panel"
                                                   : "the PPD has no option " + optionName;
  return false;
}

std::map<std::string, std::string> PanelSession::Settings() const {
  std::map<std::string, std::string> result;
  PMMutableDictionaryRef dict = nullptr;
  if (PMTicketGetPPDDict(settings_, &dict) != kPMNoError) return result;
  std::vector<PMTypeRef> keys(size_t(PMDictionaryGetCount(dict))), values(keys.size());
  PMIndex n = PMDictionaryGetKeysAndValues(dict, keys.data(), values.data(), PMIndex(keys.size()));
  for (PMIndex i = 0; i < n; ++i) result[printing::ToStdString(keys[i])] = printing::ToStdString(values[i]);
  return result;
}

void PanelSession::SetSetting(const std::string& option, const std::string& choice) {
  PMMutableDictionaryRef dict = nullptr;
  if (PMTicketGetPPDDict(settings_, &dict) != kPMNoError) return;
  PMStringRef k = PMStringCreateWithCString(nullptr, option.c_str(), kPMStringEncodingUTF8);
  PMStringRef v = PMStringCreateWithCString(nullptr, choice.c_str(), kPMStringEncodingUTF8);
  PMDictionarySetValue(dict, k, v);
  PMRelease(k);
  PMRelease(v);
}

}  // namespace dialog
}  // namespace tarvell
