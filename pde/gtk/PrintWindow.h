// The print dialog's window: the Finishing panel the plug-in built in the toolbox pane, drawn with
// GTK widgets, under it the summary lines, and the buttons. The plug-in stays in charge: a click on
// a widget is delivered as the toolbox click on its control, and afterwards every widget is read
// back from the toolbox (values, enabled items, summary). The GTK side decides nothing itself.
#pragma once

#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pde/dialog/Cups.h"
#include "pde/dialog/DialogHost.h"

namespace tarvell {
namespace gtk {

struct WindowOptions {
  std::string bundle;   // the plug-in bundle
  std::string ppd;      // a PPD file; empty: the chosen printer's PPD from the CUPS server
  std::string printer;  // the queue to start at; empty: the server's default
};

struct ControlWidget;

class PrintWindow {
 public:
  // Loads the bundle, the printers and the PPD, and opens the panel; no GTK call is made, so an
  // unreadable PPD or bundle is told before any display is needed. Null with a message then.
  static std::unique_ptr<PrintWindow> Load(const WindowOptions& options, std::string* error);
  // Makes the window (not yet shown); GTK must be initialised.
  void Build();
  static std::unique_ptr<PrintWindow> Create(const WindowOptions& options, std::string* error);
  ~PrintWindow();  // destroys the window if it is still there, then the panel
  PrintWindow(const PrintWindow&) = delete;
  PrintWindow& operator=(const PrintWindow&) = delete;

  GtkWindow* window() const { return window_; }
  // The widget named `name`: an option keyword (its checkbox or drop-down), KEYWORD-label (a
  // drop-down's label), "printer", "panel", "hardware-note", "scroller", "summary", "status", "print",
  // "save", "close".
  GtkWidget* Find(const std::string& name) const;

  // A click choosing `choice` for `option`, as print-dialog's --set makes it.
  bool Choose(const std::string& option, const std::string& choice, std::string* error);
  // The print settings ticket's PPD dictionary.
  std::map<std::string, std::string> Settings() const;
  std::string Summary() const;
  std::string Status() const;

  // The printer chosen now ("" when there is none) and a choice of another one, whose panel then
  // replaces this one (false, and the choice kept, when its PPD cannot be had).
  const std::string& Printer() const { return printer_; }
  bool ChoosePrinter(const std::string& name);
  // Print… once the file is chosen, and Save as Defaults: false with the reason in the window's
  // status line when refused (no printer, a conflict, the server's refusal); nothing is sent then.
  // An empty path (the button) checks first, then asks for the file and prints it when chosen.
  bool PrintFile(const std::string& path);
  bool SaveAsDefaults();

  // Pops the drop-down of `option` open, as a click on it does.
  bool OpenMenu(const std::string& option);
  // Writes the window as it is drawn now, with an open menu over it, to a PNG file.
  bool SavePng(const std::string& path, std::string* error);

  // Called by the widgets' signal handlers.
  void PrinterSelected(guint index);
  void FileChosen(GtkFileChooserNative* chooser, int response);
  void Clicked(ControlWidget& control, int item);
  // Reads every widget back from the toolbox.
  void Refresh();

 private:
  PrintWindow() = default;
  bool OpenPanel(ppd_file_t* ppd, const dialog::CupsOptions* saved, std::string* error);
  bool OpenQueue(const std::string& name, std::string* error);
  void FillPrinters();
  // The job's or the defaults' options, checked against the PPD; false with the reason.
  bool JobOptions(dialog::CupsOptions* options, std::string* why);
  void ClosePanel();
  void BuildPanel();
  void DropWidgets();
  void ChooseFile();
  void SetStatus(const std::string& text, bool error);
  // Caps the scrolled part so that the window is no taller than the screen's work area.
  void FitToScreen();

  WindowOptions options_;
  ppd_file_t* ppd_ = nullptr;
  std::unique_ptr<dialog::PlugInHost> host_;
  std::unique_ptr<dialog::PanelSession> session_;
  bool shown_ = false;       // Initialize put controls on the pane
  bool refreshing_ = false;  // widget signals during a refresh are not clicks
  GtkFileChooserNative* chooser_ = nullptr;

  GtkWindow* window_ = nullptr;
  GtkWidget* panelFrame_ = nullptr;
  GtkWidget* panel_ = nullptr;
  GtkWidget* summary_ = nullptr;
  GtkWidget* note_ = nullptr;      // the hardware options that keep choices disabled
  GtkWidget* scroller_ = nullptr;  // the panel and the summary
  std::string panelQueue_;         // the queue whose PPD the panel shows; empty for a PPD file
  GtkWidget* status_ = nullptr;
  GtkWidget* printers_ = nullptr;
  std::vector<dialog::CupsQueue> queues_;
  std::string printer_;
  std::string serverError_;  // why no printer can be listed
  std::vector<std::unique_ptr<ControlWidget>> controls_;
};

}  // namespace gtk
}  // namespace tarvell
