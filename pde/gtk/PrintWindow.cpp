// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands the print dialog.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/gtk/PrintWindow.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#undef Status  // Xlib's, which would rename PrintWindow::Status
#endif

namespace tarvell {
namespace gtk {

struct ControlWidget {
  PrintWindow* owner = nullptr;
  ControlRef control = nullptr;
  ControlKind kind = kControlKindUserPane;
  std::string keyword;  // checkboxes and pop-ups
  GtkWidget* widget = nullptr;
  GtkStringList* items = nullptr;  // pop-ups: what the drop-down lists now
  GtkListItemFactory* factory = nullptr;
  std::vector<std::string> texts;
  std::vector<bool> enabled;
  std::vector<std::string> reasons;  // why each item is disabled, as the panel says
};

namespace {

// GTK calls back through C: nothing may be thrown across it.
template <class F>
void Guarded(F&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "print-dialog-gtk: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "print-dialog-gtk: unexpected failure in a window event\n");
  }
}

std::string Title(ControlRef control) {
  PMStringRef title = nullptr;
  CopyControlTitleAsCFString(control, &title);
  std::string text = printing::ToStdString(title);
  PMRelease(title);
  return text;
}

void Collect(ControlRef parent, std::vector<ControlRef>* out) {
  for (UInt16 i = 1; i <= CountSubControls(parent); ++i) {
    ControlRef c = GetIndexedSubControl(parent, i);
    out->push_back(c);
    Collect(c, out);
  }
}

// The menu of a pop-up as the toolbox holds it now.
void ReadMenu(ControlRef control, std::vector<std::string>* texts, std::vector<bool>* enabled,
              std::vector<std::string>* reasons) {
  MenuRef menu = GetControlPopupMenu(control);
  texts->clear();
  enabled->clear();
  reasons->clear();
  for (UInt16 item = 1; item <= CountMenuItems(menu); ++item) {
    PMStringRef text = nullptr;
    CopyMenuItemTextAsCFString(menu, item, &text);
    texts->push_back(printing::ToStdString(text));
    enabled->push_back(IsMenuItemEnabled(menu, item));
    PMRelease(text);
    std::vector<dialog::Blocker> blockers;
    reasons->emplace_back();
    dialog::ReadItemReason(menu, item, &reasons->back(), &blockers);
  }
}

std::vector<const char*> CStrings(const std::vector<std::string>& strings) {
  std::vector<const char*> out;
  for (const std::string& s : strings) out.push_back(s.c_str());
  out.push_back(nullptr);
  return out;
}

void Margins(GtkWidget* widget, int horizontal, int vertical) {
  gtk_widget_set_margin_start(widget, horizontal);
  gtk_widget_set_margin_end(widget, horizontal);
  gtk_widget_set_margin_top(widget, vertical);
  gtk_widget_set_margin_bottom(widget, vertical);
}

// The drop-down's list rows: an item the plug-in disabled is greyed out, cannot be picked and
// says why on a second line (and in its tooltip).
void SetupRow(GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  GtkWidget* reason = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(reason), 0);
  gtk_label_set_wrap(GTK_LABEL(reason), TRUE);
  gtk_label_set_width_chars(GTK_LABEL(reason), 40);
  gtk_label_set_max_width_chars(GTK_LABEL(reason), 60);
  gtk_widget_add_css_class(reason, "caption");
  gtk_widget_add_css_class(reason, "dim-label");
  gtk_box_append(GTK_BOX(row), label);
  gtk_box_append(GTK_BOX(row), reason);
  gtk_list_item_set_child(item, row);
}

void BindRow(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) {
  Guarded([&] {
    auto* control = static_cast<ControlWidget*>(data);
    guint position = gtk_list_item_get_position(item);
    bool enabled = position < control->enabled.size() && control->enabled[position];
    std::string why = position < control->reasons.size() ? control->reasons[position] : "";
    GtkWidget* row = gtk_list_item_get_child(item);
    GtkWidget* label = gtk_widget_get_first_child(row);
    GtkWidget* reason = gtk_widget_get_next_sibling(label);
    gtk_label_set_text(GTK_LABEL(label), gtk_string_object_get_string(GTK_STRING_OBJECT(gtk_list_item_get_item(item))));
    gtk_label_set_text(GTK_LABEL(reason), why.c_str());
    gtk_widget_set_visible(reason, !enabled && !why.empty());
    gtk_widget_set_tooltip_text(row, enabled || why.empty() ? nullptr : why.c_str());
    gtk_widget_set_sensitive(label, enabled);
    // A row that cannot be activated loses the theme's row padding; the row keeps the height.
    Margins(row, enabled ? 0 : 6, enabled ? 0 : 6);
    gtk_list_item_set_selectable(item, enabled);
    gtk_list_item_set_activatable(item, enabled);
  });
}

void OnToggled(GtkCheckButton* button, gpointer data) {
  Guarded([&] {
    auto* control = static_cast<ControlWidget*>(data);
    control->owner->Clicked(*control, gtk_check_button_get_active(button) ? 1 : 0);
  });
}

void OnSelected(GObject* dropDown, GParamSpec*, gpointer data) {
  Guarded([&] {
    auto* control = static_cast<ControlWidget*>(data);
    guint selected = gtk_drop_down_get_selected(GTK_DROP_DOWN(dropDown));
    if (selected != GTK_INVALID_LIST_POSITION) control->owner->Clicked(*control, int(selected));
  });
}

void OnPrinter(GObject* dropDown, GParamSpec*, gpointer data) {
  Guarded(
      [&] { static_cast<PrintWindow*>(data)->PrinterSelected(gtk_drop_down_get_selected(GTK_DROP_DOWN(dropDown))); });
}

void OnClose(GtkButton*, gpointer data) { gtk_window_close(GTK_WINDOW(data)); }

void OnPrint(GtkButton*, gpointer data) {
  Guarded([&] { static_cast<PrintWindow*>(data)->PrintFile(""); });
}

void OnSave(GtkButton*, gpointer data) {
  Guarded([&] { static_cast<PrintWindow*>(data)->SaveAsDefaults(); });
}

void OnFileChosen(GtkNativeDialog* chooser, int response, gpointer data) {
  Guarded([&] { static_cast<PrintWindow*>(data)->FileChosen(GTK_FILE_CHOOSER_NATIVE(chooser), response); });
}

GtkWidget* Named(GtkWidget* widget, const char* name) {
  gtk_widget_set_name(widget, name);
  return widget;
}

GtkWidget* FindIn(GtkWidget* widget, const std::string& name) {
  if (name == gtk_widget_get_name(widget)) return widget;
  for (GtkWidget* c = gtk_widget_get_first_child(widget); c; c = gtk_widget_get_next_sibling(c))
    if (GtkWidget* found = FindIn(c, name)) return found;
  return nullptr;
}

}  // namespace

std::unique_ptr<PrintWindow> PrintWindow::Load(const WindowOptions& options, std::string* error) {
  std::unique_ptr<PrintWindow> w(new PrintWindow);
  w->options_ = options;
  w->host_ = dialog::PlugInHost::Load(options.bundle, error);
  if (!w->host_) {
    *error = "cannot load the plug-in bundle: " + *error;
    return nullptr;
  }
  std::string serverError;
  bool reachable = dialog::ListQueues(&w->queues_, &serverError);
  if (!reachable)
    w->serverError_ = serverError;
  else if (w->queues_.empty())
    w->serverError_ = "the CUPS server has no printer with a PPD";
  for (const dialog::CupsQueue& q : w->queues_)
    if (options.printer.empty() ? q.isDefault : q.name == options.printer) w->printer_ = q.name;
  if (w->printer_.empty() && options.printer.empty() && !w->queues_.empty()) w->printer_ = w->queues_.front().name;
  if (!options.printer.empty() && w->printer_.empty() && (reachable || options.ppd.empty())) {
    *error = reachable ? "the CUPS server has no printer " + options.printer + " with a PPD" : serverError;
    return nullptr;
  }
  if (!options.ppd.empty()) {
    ppd_file_t* ppd = dialog::OpenPPD(options.ppd, error);
    if (!ppd || !w->OpenPanel(ppd, nullptr, error)) return nullptr;
  } else if (!w->printer_.empty() && !w->OpenQueue(w->printer_, error)) {
    return nullptr;
  }
  return w;
}

std::unique_ptr<PrintWindow> PrintWindow::Create(const WindowOptions& options, std::string* error) {
  std::unique_ptr<PrintWindow> w = Load(options, error);
  if (w) w->Build();
  return w;
}

void PrintWindow::Build() {
  window_ = GTK_WINDOW(gtk_window_new());
  g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
  gtk_window_set_title(window_, "Print");
  gtk_window_set_titlebar(window_, gtk_header_bar_new());
  gtk_window_set_resizable(window_, FALSE);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  Margins(box, 18, 12);

  GtkWidget* printerRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_append(GTK_BOX(printerRow), gtk_label_new("Printer:"));
  printers_ = Named(gtk_drop_down_new_from_strings(nullptr), "printer");
  gtk_widget_set_hexpand(printers_, TRUE);
  gtk_box_append(GTK_BOX(printerRow), printers_);
  gtk_box_append(GTK_BOX(box), printerRow);

  // The panel and the summary scroll when they do not fit on the screen; the printer chooser
  // above, and the hardware note and the buttons below, stay in view.
  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  panelFrame_ = Named(gtk_frame_new(nullptr), "panel");
  gtk_box_append(GTK_BOX(content), panelFrame_);

  GtkWidget* summaryFrame = gtk_frame_new("Summary");
  summary_ = Named(gtk_label_new(nullptr), "summary");
  gtk_label_set_xalign(GTK_LABEL(summary_), 0);
  Margins(summary_, 12, 6);
  gtk_frame_set_child(GTK_FRAME(summaryFrame), summary_);
  gtk_box_append(GTK_BOX(content), summaryFrame);
  scroller_ = Named(gtk_scrolled_window_new(), "scroller");
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller_), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller_), TRUE);
  gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller_), TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller_), content);
  gtk_widget_set_vexpand(scroller_, TRUE);
  gtk_box_append(GTK_BOX(box), scroller_);
  note_ = Named(gtk_label_new(nullptr), "hardware-note");
  gtk_label_set_wrap(GTK_LABEL(note_), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(note_), 70);
  gtk_label_set_xalign(GTK_LABEL(note_), 0);
  gtk_widget_add_css_class(note_, "dim-label");
  gtk_box_append(GTK_BOX(box), note_);

  status_ = Named(gtk_label_new(nullptr), "status");
  gtk_label_set_wrap(GTK_LABEL(status_), TRUE);
  gtk_label_set_xalign(GTK_LABEL(status_), 0);
  gtk_widget_set_visible(status_, FALSE);
  gtk_box_append(GTK_BOX(box), status_);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_halign(buttons, GTK_ALIGN_END);
  GtkWidget* close = Named(gtk_button_new_with_mnemonic("_Close"), "close");
  GtkWidget* save = Named(gtk_button_new_with_mnemonic("_Save as Defaults"), "save");
  GtkWidget* print = Named(gtk_button_new_with_mnemonic("_Print…"), "print");
  gtk_widget_add_css_class(print, "suggested-action");
  g_signal_connect(close, "clicked", G_CALLBACK(OnClose), window_);
  g_signal_connect(save, "clicked", G_CALLBACK(OnSave), this);
  g_signal_connect(print, "clicked", G_CALLBACK(OnPrint), this);
  gtk_box_append(GTK_BOX(buttons), close);
  gtk_box_append(GTK_BOX(buttons), save);
  gtk_box_append(GTK_BOX(buttons), print);
  gtk_box_append(GTK_BOX(box), buttons);
  gtk_window_set_default_widget(window_, print);

  gtk_window_set_child(window_, box);
  FillPrinters();
  g_signal_connect(printers_, "notify::selected", G_CALLBACK(OnPrinter), this);
  BuildPanel();
}

void PrintWindow::FitToScreen() {
  // The work area of the monitor the window is on (before it is shown: the first one), less
  // what stays outside the scrolled part: title bar, printer chooser, status, buttons, margins.
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  GdkMonitor* monitor = surface ? gdk_display_get_monitor_at_surface(display, surface) : nullptr;
  GListModel* monitors = gdk_display_get_monitors(display);
  GdkMonitor* first = g_list_model_get_n_items(monitors) ? GDK_MONITOR(g_list_model_get_item(monitors, 0)) : nullptr;
  if (!monitor) monitor = first;
  if (!monitor) return;
  GdkRectangle area;
  gdk_monitor_get_geometry(monitor, &area);
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_MONITOR(monitor)) gdk_x11_monitor_get_workarea(monitor, &area);
#endif
  if (first) g_object_unref(first);
  int outside = 0, natural = 0, ignored = 0;
  GtkWidget* box = gtk_window_get_child(window_);
  for (GtkWidget* w = gtk_widget_get_first_child(box); w; w = gtk_widget_get_next_sibling(w)) {
    if (w == scroller_ || !gtk_widget_get_visible(w)) continue;
    gtk_widget_measure(w, GTK_ORIENTATION_VERTICAL, -1, &ignored, &natural, nullptr, nullptr);
    outside += natural + gtk_box_get_spacing(GTK_BOX(box));
  }
  if (GtkWidget* titlebar = gtk_window_get_titlebar(window_)) {
    gtk_widget_measure(titlebar, GTK_ORIENTATION_VERTICAL, -1, &ignored, &natural, nullptr, nullptr);
    outside += natural;
  }
  outside += gtk_widget_get_margin_top(box) + gtk_widget_get_margin_bottom(box);
  gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller_), std::max(120, area.height - outside));
}

PrintWindow::~PrintWindow() {
  if (chooser_) {
    g_signal_handlers_disconnect_by_data(chooser_, this);
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(chooser_));
    g_object_unref(chooser_);
  }
  if (window_) {
    // Destroying widgets must not be taken for clicks.
    refreshing_ = true;
    DropWidgets();
    g_signal_handlers_disconnect_by_data(printers_, this);
    gtk_window_destroy(window_);
  }
  ClosePanel();
}

bool PrintWindow::OpenQueue(const std::string& name, std::string* error) {
  dialog::FetchedPPD fetched;
  dialog::CupsOptions saved;
  if (!dialog::FetchPPD(name, &fetched, error) || !dialog::SavedOptions(name, &saved, error)) return false;
  ppd_file_t* ppd = dialog::OpenPPD(fetched.path(), error);
  if (!ppd) return false;
  if (window_) DropWidgets();
  ClosePanel();
  panelQueue_ = name;
  return OpenPanel(ppd, &saved, error);
}

bool PrintWindow::OpenPanel(ppd_file_t* ppd, const dialog::CupsOptions* saved, std::string* error) {
  ppd_ = ppd;
  session_ = std::make_unique<dialog::PanelSession>(*host_, ppd_);
  OSStatus status = session_->Prologue();
  if (status != noErr) {
    *error = "the panel's Prologue failed (" + std::to_string(status) + ")";
    ClosePanel();
    return false;
  }
  // The user's saved options go in as a preset does, so the panel opens showing them.
  if (saved) dialog::ApplySavedOptions(*session_, ppd_, *saved);
  status = session_->Initialize();
  // The panel answers kPMInvalidPDEContext when the printer has none of its options.
  shown_ = status == noErr;
  if (!shown_ && status != kPMInvalidPDEContext) {
    *error = "the panel's Initialize failed (" + std::to_string(status) + ")";
    ClosePanel();
    return false;
  }
  if (shown_) session_->Open();
  return true;
}

void PrintWindow::ClosePanel() {
  if (session_) {
    if (shown_) session_->Close();
    session_.reset();  // terminates the panel
  }
  shown_ = false;
  if (ppd_) ppdClose(ppd_);
  ppd_ = nullptr;
}

void PrintWindow::DropWidgets() {
  for (auto& c : controls_) {
    g_signal_handlers_disconnect_by_data(c->widget, c.get());
    if (c->factory) g_signal_handlers_disconnect_by_data(c->factory, c.get());
  }
  gtk_frame_set_child(GTK_FRAME(panelFrame_), nullptr);
  panel_ = nullptr;
  controls_.clear();
}

void PrintWindow::BuildPanel() {
  DropWidgets();
  gtk_frame_set_label(GTK_FRAME(panelFrame_),
                      session_ && !session_->title().empty() ? session_->title().c_str() : "Finishing");
  if (!shown_) {
    panel_ = gtk_label_new(session_ ? "This printer has no finishing options." : "No printer chosen.");
    Margins(panel_, 12, 12);
    gtk_frame_set_child(GTK_FRAME(panelFrame_), panel_);
    Refresh();
    return;
  }
  std::map<ControlRef, std::string> keywords;
  for (const dialog::PanelControl& pc : session_->Controls()) keywords[pc.control] = pc.keyword;
  std::vector<ControlRef> all;
  Collect(session_->pane(), &all);

  // The pane's layout as a grid: controls whose spans overlap vertically share a row, and each
  // distinct left edge is a column; widths are the pane's.
  std::vector<Rect> bounds(all.size());
  std::vector<SInt16> lefts;
  std::vector<size_t> byTop;
  for (size_t i = 0; i < all.size(); ++i) {
    GetControlBounds(all[i], &bounds[i]);
    lefts.push_back(bounds[i].left);
    byTop.push_back(i);
  }
  std::sort(lefts.begin(), lefts.end());
  lefts.erase(std::unique(lefts.begin(), lefts.end()), lefts.end());
  std::stable_sort(byTop.begin(), byTop.end(), [&](size_t a, size_t b) { return bounds[a].top < bounds[b].top; });
  std::vector<int> rows(all.size());
  int row = -1;
  SInt16 rowBottom = 0;
  for (size_t i : byTop) {
    if (row < 0 || bounds[i].top >= rowBottom) {
      ++row;
      rowBottom = bounds[i].bottom;
    }
    rowBottom = std::max(rowBottom, bounds[i].bottom);
    rows[i] = row;
  }

  panel_ = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(panel_), 6);
  gtk_grid_set_column_spacing(GTK_GRID(panel_), 4);
  Margins(panel_, 12, 12);
  for (size_t i = 0; i < all.size(); ++i) {
    ControlRef c = all[i];
    auto record = std::make_unique<ControlWidget>();
    ControlWidget* r = record.get();
    r->owner = this;
    r->control = c;
    r->kind = GetControlKind(c);
    r->keyword = keywords[c];
    switch (r->kind) {
      case kControlKindCheckBox:
        r->widget = gtk_check_button_new_with_label(Title(c).c_str());
        g_signal_connect(r->widget, "toggled", G_CALLBACK(OnToggled), r);
        break;
      case kControlKindPopupButton: {
        ReadMenu(c, &r->texts, &r->enabled, &r->reasons);
        r->items = gtk_string_list_new(CStrings(r->texts).data());
        r->factory = gtk_signal_list_item_factory_new();
        g_signal_connect(r->factory, "setup", G_CALLBACK(SetupRow), r);
        g_signal_connect(r->factory, "bind", G_CALLBACK(BindRow), r);
        r->widget = gtk_drop_down_new(G_LIST_MODEL(r->items), nullptr);
        gtk_drop_down_set_list_factory(GTK_DROP_DOWN(r->widget), r->factory);
        g_object_unref(r->factory);
        g_signal_connect(r->widget, "notify::selected", G_CALLBACK(OnSelected), r);
        break;
      }
      case kControlKindStaticText: {
        r->widget = gtk_label_new(Title(c).c_str());
        ControlFontStyleRec style = GetControlFontStyle(c);
        bool justified = style.flags & kControlUseJustMask;
        gtk_label_set_xalign(GTK_LABEL(r->widget), !justified || style.just == teFlushLeft ? 0.0f
                                                   : style.just == teCenter                ? 0.5f
                                                   : style.just == teFlushRight            ? 1.0f
                                                                                           : 0.0f);
        break;
      }
      default:
        r->widget = gtk_label_new(nullptr);  // panes hold no widget of their own
        break;
    }
    if (!r->keyword.empty()) gtk_widget_set_name(r->widget, r->keyword.c_str());
    gtk_widget_set_size_request(r->widget, std::max(0, bounds[i].right - bounds[i].left), -1);
    int column = int(std::lower_bound(lefts.begin(), lefts.end(), bounds[i].left) - lefts.begin());
    gtk_grid_attach(GTK_GRID(panel_), r->widget, column, rows[i], 1, 1);
    controls_.push_back(std::move(record));
  }
  // A text on a pop-up's row, ending left of it, is the pop-up's label.
  for (auto& text : controls_) {
    if (text->kind != kControlKindStaticText) continue;
    for (auto& popup : controls_) {
      if (popup->kind != kControlKindPopupButton) continue;
      Rect t, p;
      GetControlBounds(text->control, &t);
      GetControlBounds(popup->control, &p);
      if (t.right > p.left || t.bottom <= p.top || t.top >= p.bottom) continue;
      gtk_widget_set_name(text->widget, (popup->keyword + "-label").c_str());
      gtk_accessible_update_relation(GTK_ACCESSIBLE(popup->widget), GTK_ACCESSIBLE_RELATION_LABELLED_BY, text->widget,
                                     nullptr, -1);
      break;
    }
  }
  gtk_frame_set_child(GTK_FRAME(panelFrame_), panel_);
  Refresh();
}

void PrintWindow::FillPrinters() {
  refreshing_ = true;
  GtkStringList* names = gtk_string_list_new(nullptr);
  guint selected = GTK_INVALID_LIST_POSITION;
  for (const dialog::CupsQueue& q : queues_) {
    if (q.name == printer_) selected = g_list_model_get_n_items(G_LIST_MODEL(names));
    std::string text =
        q.name + (q.isDefault ? " (default)" : "") + (q.makeAndModel.empty() ? "" : " — " + q.makeAndModel);
    gtk_string_list_append(names, text.c_str());
  }
  if (queues_.empty()) {
    gtk_string_list_append(names, ("No printer: " + serverError_).c_str());
    selected = 0;
  }
  gtk_drop_down_set_model(GTK_DROP_DOWN(printers_), G_LIST_MODEL(names));
  g_object_unref(names);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(printers_), selected);
  gtk_widget_set_sensitive(printers_, !queues_.empty());
  refreshing_ = false;
}

void PrintWindow::PrinterSelected(guint index) {
  if (refreshing_ || index >= queues_.size() || queues_[index].name == printer_) return;
  std::string name = queues_[index].name, error;
  if (!OpenQueue(name, &error)) {
    // The panel shown is still the previous printer's unless its PPD was already let go.
    SetStatus("Cannot open printer " + name + ": " + error, true);
    if (!session_) printer_.clear();
    FillPrinters();
    if (!session_) BuildPanel();
    return;
  }
  printer_ = name;
  SetStatus("", false);
  BuildPanel();
}

bool PrintWindow::ChoosePrinter(const std::string& name) {
  for (guint i = 0; i < queues_.size(); ++i)
    if (queues_[i].name == name) {
      gtk_drop_down_set_selected(GTK_DROP_DOWN(printers_), i);
      return printer_ == name;
    }
  SetStatus("There is no printer " + name + ".", true);
  return false;
}

bool PrintWindow::JobOptions(dialog::CupsOptions* options, std::string* why) {
  if (printer_.empty()) {
    *why = serverError_.empty() ? "no printer is chosen" : serverError_;
    return false;
  }
  if (shown_) session_->Sync(false);
  dialog::CupsOptions saved;
  if (!dialog::SavedOptions(printer_, &saved, why)) return false;
  *options = dialog::MergeOptions(saved, Settings());
  return !ppd_ || dialog::CheckConflicts(ppd_, *options, why);
}

bool PrintWindow::PrintFile(const std::string& path) {
  dialog::CupsOptions options;
  std::string why;
  if (!JobOptions(&options, &why)) {
    SetStatus("Not printed: " + why + ".", true);
    return false;
  }
  if (path.empty()) {
    ChooseFile();
    return false;
  }
  dialog::PrintRequest request;
  request.printer = printer_;
  request.file = path;
  request.options = options;
  int job = 0;
  if (!dialog::SubmitJob(request, &job, &why)) {
    SetStatus("Not printed: " + why + ".", true);
    return false;
  }
  SetStatus("Sent to " + printer_ + ": request id is " + printer_ + "-" + std::to_string(job) + ".", false);
  return true;
}

void PrintWindow::ChooseFile() {
  if (chooser_) return;
  chooser_ = gtk_file_chooser_native_new("Print a File", window_, GTK_FILE_CHOOSER_ACTION_OPEN, "_Print", "_Cancel");
  g_signal_connect(chooser_, "response", G_CALLBACK(OnFileChosen), this);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser_));
}

void PrintWindow::FileChosen(GtkFileChooserNative* chooser, int response) {
  std::string path;
  if (response == GTK_RESPONSE_ACCEPT) {
    GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser));
    char* local = file ? g_file_get_path(file) : nullptr;
    if (local) path = local;
    g_free(local);
    if (file) g_object_unref(file);
    if (path.empty()) SetStatus("Not printed: only a local file can be printed.", true);
  }
  g_signal_handlers_disconnect_by_data(chooser_, this);
  g_object_unref(chooser_);
  chooser_ = nullptr;
  if (!path.empty()) PrintFile(path);
}

bool PrintWindow::SaveAsDefaults() {
  dialog::CupsOptions options;
  std::string why;
  if (!JobOptions(&options, &why) || !dialog::SaveDefaults(printer_, Settings(), &why)) {
    SetStatus("Not saved: " + why + ".", true);
    return false;
  }
  SetStatus("Saved as the defaults for " + printer_ + ".", false);
  return true;
}

void PrintWindow::Clicked(ControlWidget& control, int item) {
  if (refreshing_) return;
  OSStatus status = noErr;
  std::string what = control.keyword;
  if (control.kind == kControlKindCheckBox) {
    if ((GetControlValue(control.control) != 0) == (item != 0)) return;
    status = ClickControl(control.control);
  } else {
    if (item + 1 == GetControlValue(control.control)) return;
    status = ClickControl(control.control, MenuItemIndex(item + 1));
    if (size_t(item) < control.texts.size()) what = "“" + control.texts[size_t(item)] + "”";
  }
  if (status == errMenuItemDisabled)
    SetStatus(what + " cannot be chosen " +
                  (size_t(item) < control.reasons.size() && !control.reasons[size_t(item)].empty()
                       ? "now. " + control.reasons[size_t(item)]
                       : "with the options chosen so far."),
              true);
  else if (status == errControlInactive)
    SetStatus(control.keyword + " cannot be changed now.", true);
  else if (status != noErr && status != eventNotHandledErr)
    SetStatus("The panel refused the choice (" + std::to_string(status) + ").", true);
  else
    SetStatus("", false);
  Refresh();
}

void PrintWindow::Refresh() {
  refreshing_ = true;
  for (auto& c : controls_) {
    gtk_widget_set_visible(c->widget, IsControlVisible(c->control));
    gtk_widget_set_sensitive(c->widget, IsControlActive(c->control));
    SInt16 value = GetControlValue(c->control);
    if (c->kind == kControlKindCheckBox) {
      gtk_check_button_set_label(GTK_CHECK_BUTTON(c->widget), Title(c->control).c_str());
      gtk_check_button_set_active(GTK_CHECK_BUTTON(c->widget), value != 0);
    } else if (c->kind == kControlKindPopupButton) {
      std::vector<std::string> texts, reasons;
      std::vector<bool> enabled;
      ReadMenu(c->control, &texts, &enabled, &reasons);
      if (texts != c->texts || enabled != c->enabled || reasons != c->reasons) {
        // Replacing the items has the list rebind them with the new flags.
        c->texts = texts;
        c->enabled = enabled;
        c->reasons = reasons;
        gtk_string_list_splice(c->items, 0, g_list_model_get_n_items(G_LIST_MODEL(c->items)), CStrings(texts).data());
      }
      guint selected = value >= 1 && size_t(value) <= texts.size() ? guint(value - 1) : GTK_INVALID_LIST_POSITION;
      if (gtk_drop_down_get_selected(GTK_DROP_DOWN(c->widget)) != selected)
        gtk_drop_down_set_selected(GTK_DROP_DOWN(c->widget), selected);
    } else if (c->kind == kControlKindStaticText) {
      gtk_label_set_text(GTK_LABEL(c->widget), Title(c->control).c_str());
    }
  }
  std::vector<std::pair<std::string, std::string>> lines;
  if (shown_) session_->GetSummary(&lines);
  std::string text;
  for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line.first + ": " + line.second;
  gtk_label_set_text(GTK_LABEL(summary_), text.empty() ? "No finishing options." : text.c_str());
  std::string note = shown_ ? dialog::HardwareNote(host_->bundle(), session_->Controls(), panelQueue_) : "";
  gtk_label_set_text(GTK_LABEL(note_), note.c_str());
  gtk_widget_set_visible(note_, !note.empty());
  FitToScreen();  // the note takes room from the scrolled part
  refreshing_ = false;
}

void PrintWindow::SetStatus(const std::string& text, bool error) {
  gtk_label_set_text(GTK_LABEL(status_), text.c_str());
  gtk_widget_set_visible(status_, !text.empty());
  if (error)
    gtk_widget_add_css_class(status_, "error");
  else
    gtk_widget_remove_css_class(status_, "error");
}

GtkWidget* PrintWindow::Find(const std::string& name) const {
  return window_ ? FindIn(GTK_WIDGET(window_), name) : nullptr;
}

bool PrintWindow::Choose(const std::string& option, const std::string& choice, std::string* error) {
  if (!shown_) {
    *error = "option " + option + " is not on the Finishing panel";
    return false;
  }
  bool ok = session_->Choose(option, choice, error);
  Refresh();
  return ok;
}

std::map<std::string, std::string> PrintWindow::Settings() const {
  return session_ ? session_->Settings() : std::map<std::string, std::string>{};
}

std::string PrintWindow::Summary() const { return gtk_label_get_text(GTK_LABEL(summary_)); }

std::string PrintWindow::Status() const { return gtk_label_get_text(GTK_LABEL(status_)); }

bool PrintWindow::OpenMenu(const std::string& option) {
  for (auto& c : controls_) {
    if (c->kind != kControlKindPopupButton || c->keyword != option) continue;
    for (GtkWidget* w = gtk_widget_get_first_child(c->widget); w; w = gtk_widget_get_next_sibling(w))
      if (GTK_IS_POPOVER(w)) {
        gtk_popover_popup(GTK_POPOVER(w));
        return true;
      }
  }
  return false;
}

namespace {

// The widget's drawing placed where its surface shows it, in the coordinates of `origin`'s surface.
void AppendDrawing(GtkSnapshot* into, GtkWidget* widget, double x, double y) {
  GdkPaintable* paintable = gtk_widget_paintable_new(widget);
  double tx = 0, ty = 0;
  gtk_native_get_surface_transform(GTK_NATIVE(widget), &tx, &ty);
  graphene_point_t at = GRAPHENE_POINT_INIT(float(x + tx), float(y + ty));
  gtk_snapshot_save(into);
  gtk_snapshot_translate(into, &at);
  gdk_paintable_snapshot(paintable, GDK_SNAPSHOT(into), gtk_widget_get_width(widget), gtk_widget_get_height(widget));
  gtk_snapshot_restore(into);
  g_object_unref(paintable);
}

}  // namespace

bool PrintWindow::SavePng(const std::string& path, std::string* error) {
  GtkWidget* widget = GTK_WIDGET(window_);
  if (!gtk_widget_get_mapped(widget) || gtk_widget_get_width(widget) <= 0) {
    *error = "the window is not on the screen";
    return false;
  }
  // The window, and over it any menu that is open, as the screen shows them.
  GtkSnapshot* snapshot = gtk_snapshot_new();
  AppendDrawing(snapshot, widget, 0, 0);
  double tx = 0, ty = 0;
  gtk_native_get_surface_transform(GTK_NATIVE(widget), &tx, &ty);
  graphene_rect_t area = GRAPHENE_RECT_INIT(float(tx), float(ty), float(gtk_widget_get_width(widget)),
                                            float(gtk_widget_get_height(widget)));
  for (auto& c : controls_) {
    for (GtkWidget* w = c->widget ? gtk_widget_get_first_child(c->widget) : nullptr; w;
         w = gtk_widget_get_next_sibling(w)) {
      if (!GTK_IS_POPOVER(w) || !gtk_widget_get_mapped(w)) continue;
      GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(w));
      double x = gdk_popup_get_position_x(GDK_POPUP(surface)), y = gdk_popup_get_position_y(GDK_POPUP(surface));
      AppendDrawing(snapshot, w, x, y);
      graphene_rect_t menu = GRAPHENE_RECT_INIT(float(x), float(y), float(gdk_surface_get_width(surface)),
                                                float(gdk_surface_get_height(surface)));
      graphene_rect_union(&area, &menu, &area);
    }
  }
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  if (!node) {
    *error = "the window drew nothing";
    return false;
  }
  GdkTexture* texture = gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(widget)), node, &area);
  gsk_render_node_unref(node);
  // Written beside the target and renamed, so a failure leaves no partial picture.
  std::string temporary = path + ".part";
  bool ok = texture && gdk_texture_save_to_png(texture, temporary.c_str());
  if (texture) g_object_unref(texture);
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    std::remove(temporary.c_str());
    *error = "cannot write " + path;
  }
  return ok;
}

}  // namespace gtk
}  // namespace tarvell
