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
  // Loads the bundle and the PPD and builds the window (not yet shown). Null with a message when
  // either cannot be read; no window is made then.
  static std::unique_ptr<PrintWindow> Create(const WindowOptions& options, std::string* error);
  ~PrintWindow();  // destroys the window if it is still there, then the panel
  PrintWindow(const PrintWindow&) = delete;
  PrintWindow& operator=(const PrintWindow&) = delete;

  GtkWindow* window() const { return window_; }
  // The widget named `name`: an option keyword (its checkbox or drop-down), KEYWORD-label (a
  // drop-down's label), "printer", "panel", "summary", "status", "print", "save", "close".
  GtkWidget* Find(const std::string& name) const;

  // A click choosing `choice` for `option`, as print-dialog's --set makes it.
  bool Choose(const std::string& option, const std::string& choice, std::string* error);
  // The print settings ticket's PPD dictionary.
  std::map<std::string, std::string> Settings() const;
  std::string Summary() const;
  std::string Status() const;

  // Writes the window as it is drawn now to a PNG file.
  bool SavePng(const std::string& path, std::string* error);

  // Called by the widgets' signal handlers.
  void Clicked(ControlWidget& control, int item);
  // Reads every widget back from the toolbox.
  void Refresh();

 private:
  PrintWindow() = default;
  bool OpenPanel(ppd_file_t* ppd, std::string* error);
  void ClosePanel();
  void BuildPanel();
  void SetStatus(const std::string& text, bool error);

  WindowOptions options_;
  ppd_file_t* ppd_ = nullptr;
  std::unique_ptr<dialog::PlugInHost> host_;
  std::unique_ptr<dialog::PanelSession> session_;
  bool shown_ = false;       // Initialize put controls on the pane
  bool refreshing_ = false;  // widget signals during a refresh are not clicks

  GtkWindow* window_ = nullptr;
  GtkWidget* panelFrame_ = nullptr;
  GtkWidget* panel_ = nullptr;
  GtkWidget* summary_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* printer_ = nullptr;
  std::vector<std::unique_ptr<ControlWidget>> controls_;
};

}  // namespace gtk
}  // namespace tarvell
