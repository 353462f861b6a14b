// The stand-in print dialog's side of the plug-in model: it loads a dialog-extension bundle,
// makes the plug-in's factory instance, asks it for the dialog-extension interface, and drives
// one panel over a PPD the way the print dialog does. It knows the panel only through what a
// dialog has: the bundle, the factory, the interface table, the pane and the print settings.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pde/CupsPPD.h"
#include "platform/printing/PDEInterface.h"
#include "platform/toolbox/Toolbox.h"

namespace tarvell {
namespace dialog {

// A loaded plug-in bundle and the factory instance of its print dialog extension.
class PlugInHost {
 public:
  // Null (and a message in `error`) when the bundle cannot be read, declares no print dialog
  // extension factory, or its code cannot be loaded.
  static std::unique_ptr<PlugInHost> Load(const std::string& bundlePath, std::string* error);
  // Takes over a bundle and a factory instance made without loading the bundle's code
  // (a program that has the plug-in linked in); both are released with the host.
  static std::unique_ptr<PlugInHost> Adopt(PMBundleRef bundle, IUnknownVTbl** instance);
  ~PlugInHost();
  PlugInHost(const PlugInHost&) = delete;
  PlugInHost& operator=(const PlugInHost&) = delete;

  // A new dialog-extension interface object (the caller releases it through its table).
  PMPDEInterface* NewInterface(HRESULT* result = nullptr);
  PMBundleRef bundle() const { return bundle_; }
  IUnknownVTbl** instance() const { return instance_; }
  // The keywords the bundle lists under "PMPPDKeysSupported".
  std::vector<std::string> SupportedKeywords() const;

 private:
  PlugInHost() = default;
  PMBundleRef bundle_ = nullptr;
  IUnknownVTbl** instance_ = nullptr;
};

// An option whose choice as it stands keeps a menu item disabled, as the panel names it.
struct Blocker {
  std::string option, choice;          // keywords
  std::string optionText, choiceText;  // as the panel shows them
  bool installable;                    // the printer's hardware (the PPD's InstallableOptions)
};

struct PanelItem {
  std::string choice;
  std::string text;
  bool enabled;
  std::string reason;              // why it is disabled, in the panel's language; empty when enabled
  std::vector<Blocker> blockedBy;  // the options that keep it disabled
};

// What the panel says of a menu item: its reason and blockers (both empty when it says nothing).
void ReadItemReason(MenuRef menu, MenuItemIndex item, std::string* reason, std::vector<Blocker>* blockedBy);

struct PanelControl {
  std::string keyword;
  bool popup;
  ControlRef control;
  SInt16 value;
  std::string title;
  std::vector<PanelItem> items;  // pop-ups only
};

// The note shown under the panel when hardware the printer reports as not installed keeps
// choices disabled: those options, then how they are changed (by an administrator for CUPS
// queue `printer`, in the file when `printer` is empty). Empty when no such option blocks a
// choice. The words are the bundle's, in the panel's language.
std::string HardwareNote(PMBundleRef bundle, const std::vector<PanelControl>& controls, const std::string& printer);

// One dialog showing the panel for one printer. The PPD belongs to the caller.
class PanelSession {
 public:
  PanelSession(PlugInHost& host, ppd_file_t* ppd);
  ~PanelSession();  // terminates the panel if needed and frees what the dialog made
  PanelSession(const PanelSession&) = delete;
  PanelSession& operator=(const PanelSession&) = delete;

  // The panel operations, through the interface table.
  OSStatus Prologue();
  OSStatus Initialize();
  OSStatus Open();
  OSStatus Sync(bool settingsToControls);
  OSStatus GetSummary(std::vector<std::pair<std::string, std::string>>* lines);
  OSStatus Close();
  OSStatus Terminate();

  // The panel's controls, found by the identifiers the panel gives them, in key set order.
  std::vector<PanelControl> Controls() const;
  // A user's click choosing `choice` for `option`. False with a message when the option is not
  // on the panel, the choice is unknown, or the control refuses it (a disabled item).
  bool Choose(const std::string& option, const std::string& choice, std::string* error);
  // The print settings ticket's PPD dictionary.
  std::map<std::string, std::string> Settings() const;
  void SetSetting(const std::string& option, const std::string& choice);

  PMPDEInterface* interface() const { return interface_; }
  PMPDEContext context() const { return context_; }
  ControlRef pane() const { return pane_; }
  PMPrintSession session() const { return session_; }
  PMTicketRef settingsTicket() const { return settings_; }
  const std::string& title() const { return title_; }
  const std::string& userOptionKind() const { return kind_; }
  OSType creator() const { return creator_; }
  UInt32 maxWidth() const { return maxH_; }
  UInt32 maxHeight() const { return maxV_; }

 private:
  PlugInHost& host_;
  ppd_file_t* ppd_;
  PMPDEInterface* interface_ = nullptr;
  PMPDEContext context_ = nullptr;
  bool terminated_ = false;
  WindowRef window_ = nullptr;
  ControlRef pane_ = nullptr;
  PMPrintSession session_ = nullptr;
  PMTicketRef settings_ = 0, printerInfo_ = 0;
  std::string title_, kind_;
  OSType creator_ = 0;
  UInt32 maxH_ = 0, maxV_ = 0;
};

// The command-line options both print dialogs take: --ppd, --printer, --bundle, --lang and
// --set OPTION=CHOICE (repeated, as clicks in order).
struct DialogArguments {
  std::string ppd, printer, bundle, language;
  std::vector<std::pair<std::string, std::string>> choices;
};
// The languages the panel's texts come in (the bundle's .lproj folders): the one list --lang
// takes, for the parser, the help and the manuals.
struct PanelLanguage {
  const char* code;  // as --lang takes it
  const char* name;
};
const std::vector<PanelLanguage>& PanelLanguages();
// "en (English), de (German)"
std::string PanelLanguageList();

// The bundle a dialog loads without --bundle: the one installed with the program
// (<bindir>/../<libdir>/tarvell/Finishing.plugin), else the one in the build tree.
std::string DefaultBundle();
// Reads argv[*i] and its value (moving *i past it) when it is one of those: 1. 0 when it is not
// one or its value is missing; -1 with a message in *error when --set's value is malformed or
// --lang names a language the panel does not speak.
int ReadDialogArgument(int argc, char** argv, int* i, DialogArguments* arguments, std::string* error);

// Opens a PPD with libcups; null with a message when it cannot be read.
ppd_file_t* OpenPPD(const std::string& path, std::string* error);

}  // namespace dialog
}  // namespace tarvell
