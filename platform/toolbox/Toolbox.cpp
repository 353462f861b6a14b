#include "platform/toolbox/Toolbox.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

namespace {

std::atomic<long> gLiveControls{0};
std::atomic<long> gLiveMenus{0};
tarvell::testing::FaultPoint gFailMenu, gFailInstall, gFailEmbed;

bool Fails(tarvell::testing::FaultPoint& fault) { return fault.Fire(); }

}  // namespace

struct OpaqueMenuRef {
  struct Item {
    std::string text;
    bool enabled = true;
    std::map<std::pair<OSType, OSType>, std::shared_ptr<const void>> properties;
  };
  OpaqueMenuRef() { ++gLiveMenus; }
  ~OpaqueMenuRef() { --gLiveMenus; }
  MenuID id = 0;
  long refs = 1;
  std::vector<Item> items;
};

struct OpaqueEventHandlerRef {
  ControlRef control;
  EventHandlerUPP proc;
  std::vector<EventTypeSpec> types;
  void* userData;
};

struct OpaqueControlRef {
  OpaqueControlRef(WindowRef w, ControlKind k, const Rect& r) : window(w), kind(k), bounds(r) { ++gLiveControls; }
  ~OpaqueControlRef() {
    if (menu) ReleaseMenu(menu);
    --gLiveControls;
  }
  WindowRef window;
  ControlKind kind;
  Rect bounds;
  ControlRef parent = nullptr;
  std::vector<ControlRef> children;
  SInt16 value = 0, minimum = 0, maximum = 0;
  SInt16 procID = 0;
  SInt32 refCon = 0;
  std::string title;
  bool visible = true, active = true;
  MenuRef menu = nullptr;
  ControlFontStyleRec style{0, 0, 0, 0, 0, 0};
  int draws = 0;
  std::vector<std::unique_ptr<OpaqueEventHandlerRef>> handlers;  // oldest first
};

struct OpaqueWindowRef {
  Rect bounds;
  std::vector<std::unique_ptr<OpaqueControlRef>> controls;  // the root is first
};

struct OpaqueEventRef {
  UInt32 eventClass;
  UInt32 eventKind;
  ControlRef control;
};

// Where a dispatch stands in a control's handler list.
struct OpaqueEventHandlerCallRef {
  ControlRef control;
  size_t next;  // handlers[0..next) remain to be called, newest last
};

// The target of a control is the control itself.
struct OpaqueEventTargetRef {};

namespace {

ControlRef Make(WindowRef window, ControlKind kind, const Rect& bounds) {
  auto control = std::make_unique<OpaqueControlRef>(window, kind, bounds);
  ControlRef raw = control.get();
  window->controls.push_back(std::move(control));
  return raw;
}

SInt16 Clamp(SInt16 v, SInt16 lo, SInt16 hi) {
  if (hi < lo) hi = lo;
  return std::min(std::max(v, lo), hi);
}

OSStatus Dispatch(OpaqueEventHandlerCallRef* call, EventRef event) {
  ControlRef c = call->control;
  while (call->next > 0) {
    OpaqueEventHandlerRef* h = c->handlers[--call->next].get();
    for (const EventTypeSpec& t : h->types) {
      if (t.eventClass == event->eventClass && t.eventKind == event->eventKind)
        return h->proc(call, event, h->userData);
    }
  }
  return eventNotHandledErr;  // the standard handler has nothing to add to a hit
}

}  // namespace

OSStatus CreateNewWindow(const Rect* bounds, WindowRef* outWindow) {
  if (!bounds || !outWindow) return paramErr;
  auto* w = new OpaqueWindowRef;
  w->bounds = *bounds;
  Make(w, kControlKindRoot, Rect{0, 0, SInt16(bounds->bottom - bounds->top), SInt16(bounds->right - bounds->left)});
  *outWindow = w;
  return noErr;
}

void DisposeWindow(WindowRef window) { delete window; }

OSStatus GetRootControl(WindowRef window, ControlRef* outControl) {
  if (!window || !outControl) return errInvalidWindowRef;
  *outControl = window->controls.front().get();
  return noErr;
}

WindowRef GetControlOwner(ControlRef control) { return control ? control->window : nullptr; }

OSStatus CreateUserPaneControl(WindowRef window, const Rect* bounds, UInt32, ControlRef* outControl) {
  if (!window) return errInvalidWindowRef;
  if (!bounds || !outControl) return paramErr;
  *outControl = Make(window, kControlKindUserPane, *bounds);
  return noErr;
}

ControlRef NewControl(WindowRef window, const Rect* bounds, const char* title, bool visible, SInt16 value,
                      SInt16 minimum, SInt16 maximum, SInt16 procID, SInt32 refCon) {
  if (!window || !bounds || procID != kControlCheckBoxProc) return nullptr;
  ControlRef c = Make(window, kControlKindCheckBox, *bounds);
  c->title = title ? title : "";
  c->visible = visible;
  c->minimum = minimum;
  c->maximum = maximum;
  c->value = Clamp(value, minimum, maximum);
  c->procID = procID;
  c->refCon = refCon;
  return c;
}

OSStatus CreatePopupButtonControl(WindowRef window, const Rect* bounds, PMStringRef title, SInt16 menuID, bool, SInt16,
                                  SInt16, UInt8, ControlRef* outControl) {
  if (!window) return errInvalidWindowRef;
  if (!bounds || !outControl) return paramErr;
  ControlRef c = Make(window, kControlKindPopupButton, *bounds);
  c->title = tarvell::printing::ToStdString(title);
  c->refCon = menuID;
  *outControl = c;
  return noErr;
}

OSStatus CreateStaticTextControl(WindowRef window, const Rect* bounds, PMStringRef text,
                                 const ControlFontStyleRec* style, ControlRef* outControl) {
  if (!window) return errInvalidWindowRef;
  if (!bounds || !outControl) return paramErr;
  ControlRef c = Make(window, kControlKindStaticText, *bounds);
  c->title = tarvell::printing::ToStdString(text);
  if (style) c->style = *style;
  *outControl = c;
  return noErr;
}

ControlKind GetControlKind(ControlRef control) { return control->kind; }
SInt16 GetControlProcID(ControlRef control) { return control ? control->procID : 0; }
SInt32 GetControlReference(ControlRef control) { return control ? control->refCon : 0; }

OSStatus EmbedControl(ControlRef control, ControlRef container) {
  if (!control || !container) return paramErr;
  if (control->window != container->window) return errInvalidWindowRef;
  if (control->kind == kControlKindRoot) return errCantEmbedRoot;
  if (container->kind != kControlKindRoot && container->kind != kControlKindUserPane) return errControlIsNotEmbedder;
  for (ControlRef p = container; p; p = p->parent)
    if (p == control) return errCantEmbedIntoSelf;
  if (Fails(gFailEmbed)) return errControlIsNotEmbedder;
  if (control->parent) {
    auto& siblings = control->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), control), siblings.end());
  }
  container->children.push_back(control);
  control->parent = container;
  return noErr;
}

ControlRef GetSuperControl(ControlRef control) { return control ? control->parent : nullptr; }
UInt16 CountSubControls(ControlRef control) { return control ? UInt16(control->children.size()) : 0; }
ControlRef GetIndexedSubControl(ControlRef control, UInt16 index) {
  if (!control || index < 1 || index > control->children.size()) return nullptr;
  return control->children[index - 1];
}

void ShowControl(ControlRef control) {
  if (control) control->visible = true;
}
void HideControl(ControlRef control) {
  if (control) control->visible = false;
}
bool IsControlVisible(ControlRef control) {
  for (ControlRef c = control; c; c = c->parent)
    if (!c->visible) return false;
  return control != nullptr;
}
void Draw1Control(ControlRef control) {
  if (control && IsControlVisible(control)) ++control->draws;
}
void ActivateControl(ControlRef control) {
  if (control) control->active = true;
}
void DeactivateControl(ControlRef control) {
  if (control) control->active = false;
}
bool IsControlActive(ControlRef control) {
  for (ControlRef c = control; c; c = c->parent)
    if (!c->active) return false;
  return control != nullptr;
}

SInt16 GetControlValue(ControlRef control) { return control ? control->value : 0; }
void SetControlValue(ControlRef control, SInt16 value) {
  if (control) control->value = Clamp(value, control->minimum, control->maximum);
}
SInt16 GetControlMinimum(ControlRef control) { return control ? control->minimum : 0; }
void SetControlMinimum(ControlRef control, SInt16 minimum) {
  if (!control) return;
  control->minimum = minimum;
  control->value = Clamp(control->value, control->minimum, control->maximum);
}
SInt16 GetControlMaximum(ControlRef control) { return control ? control->maximum : 0; }
void SetControlMaximum(ControlRef control, SInt16 maximum) {
  if (!control) return;
  control->maximum = maximum;
  control->value = Clamp(control->value, control->minimum, control->maximum);
}

void GetControlBounds(ControlRef control, Rect* bounds) {
  if (control && bounds) *bounds = control->bounds;
}
void SetControlBounds(ControlRef control, const Rect* bounds) {
  if (control && bounds) control->bounds = *bounds;
}

OSStatus SetControlTitleWithCFString(ControlRef control, PMStringRef title) {
  if (!control || !title) return paramErr;
  control->title = PMStringGetCStringPtr(title);
  return noErr;
}

OSStatus CopyControlTitleAsCFString(ControlRef control, PMStringRef* title) {
  if (!control || !title) return paramErr;
  *title = PMStringCreateWithCString(nullptr, control->title.c_str(), kPMStringEncodingUTF8);
  return *title ? noErr : memFullErr;
}

OSStatus SetControlFontStyle(ControlRef control, const ControlFontStyleRec* style) {
  if (!control || !style) return paramErr;
  control->style = *style;
  return noErr;
}
ControlFontStyleRec GetControlFontStyle(ControlRef control) {
  return control ? control->style : ControlFontStyleRec{0, 0, 0, 0, 0, 0};
}

OSStatus SetControlPopupMenu(ControlRef control, MenuRef menu) {
  if (!control || control->kind != kControlKindPopupButton) return paramErr;
  if (menu) RetainMenu(menu);
  if (control->menu) ReleaseMenu(control->menu);
  control->menu = menu;
  return noErr;
}
MenuRef GetControlPopupMenu(ControlRef control) { return control ? control->menu : nullptr; }

OSStatus CreateNewMenu(MenuID menuID, UInt32, MenuRef* outMenu) {
  if (!outMenu) return paramErr;
  *outMenu = nullptr;
  if (Fails(gFailMenu)) return memFullErr;
  *outMenu = new OpaqueMenuRef;
  (*outMenu)->id = menuID;
  return noErr;
}
void RetainMenu(MenuRef menu) {
  if (menu) ++menu->refs;
}
void ReleaseMenu(MenuRef menu) {
  if (menu && --menu->refs == 0) delete menu;
}
MenuID GetMenuID(MenuRef menu) { return menu ? menu->id : 0; }

OSStatus AppendMenuItemTextWithCFString(MenuRef menu, PMStringRef text, UInt32, UInt32, MenuItemIndex* outIndex) {
  if (!menu || !text) return paramErr;
  if (menu->items.size() >= 0x7fff) return memFullErr;
  menu->items.push_back({PMStringGetCStringPtr(text), true, {}});
  if (outIndex) *outIndex = MenuItemIndex(menu->items.size());
  return noErr;
}
UInt16 CountMenuItems(MenuRef menu) { return menu ? UInt16(menu->items.size()) : 0; }
void EnableMenuItem(MenuRef menu, MenuItemIndex item) {
  if (menu && item >= 1 && item <= menu->items.size()) menu->items[item - 1].enabled = true;
}
void DisableMenuItem(MenuRef menu, MenuItemIndex item) {
  if (menu && item >= 1 && item <= menu->items.size()) menu->items[item - 1].enabled = false;
}
bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item) {
  return menu && item >= 1 && item <= menu->items.size() && menu->items[item - 1].enabled;
}
OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, PMStringRef* outText) {
  if (!outText) return paramErr;
  *outText = nullptr;
  if (!menu || item < 1 || item > menu->items.size()) return menuItemNotFoundErr;
  *outText = PMStringCreateWithCString(nullptr, menu->items[item - 1].text.c_str(), kPMStringEncodingUTF8);
  return *outText ? noErr : memFullErr;
}

OSStatus SetMenuItemProperty(MenuRef menu, MenuItemIndex item, OSType creator, OSType tag, PMTypeRef value) {
  if (!menu || item < 1 || item > menu->items.size()) return menuItemNotFoundErr;
  auto& properties = menu->items[item - 1].properties;
  if (!value) {
    properties.erase({creator, tag});
    return noErr;
  }
  properties[{creator, tag}] = std::shared_ptr<const void>(PMRetain(value), [](const void* v) { PMRelease(v); });
  return noErr;
}
PMTypeRef GetMenuItemProperty(MenuRef menu, MenuItemIndex item, OSType creator, OSType tag) {
  if (!menu || item < 1 || item > menu->items.size()) return nullptr;
  auto& properties = menu->items[item - 1].properties;
  auto found = properties.find({creator, tag});
  return found == properties.end() ? nullptr : found->second.get();
}

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr proc) { return proc; }
void DisposeEventHandlerUPP(EventHandlerUPP) {}

EventTargetRef GetControlEventTarget(ControlRef control) { return reinterpret_cast<EventTargetRef>(control); }

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes, const EventTypeSpec* list,
                             void* userData, EventHandlerRef* outRef) {
  if (!target || !handler || numTypes == 0 || !list) return paramErr;
  if (Fails(gFailInstall)) return memFullErr;
  auto control = reinterpret_cast<ControlRef>(target);
  auto h = std::make_unique<OpaqueEventHandlerRef>();
  h->control = control;
  h->proc = handler;
  h->types.assign(list, list + numTypes);
  h->userData = userData;
  if (outRef) *outRef = h.get();
  control->handlers.push_back(std::move(h));
  return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef handler) {
  if (!handler) return paramErr;
  auto& hs = handler->control->handlers;
  for (auto it = hs.begin(); it != hs.end(); ++it) {
    if (it->get() == handler) {
      hs.erase(it);
      return noErr;
    }
  }
  return paramErr;
}

OSStatus CallNextEventHandler(EventHandlerCallRef nextHandler, EventRef event) {
  if (!nextHandler || !event) return paramErr;
  return Dispatch(nextHandler, event);
}

UInt32 GetEventClass(EventRef event) { return event ? event->eventClass : 0; }
UInt32 GetEventKind(EventRef event) { return event ? event->eventKind : 0; }
ControlRef GetEventControl(EventRef event) { return event ? event->control : nullptr; }

OSStatus ClickControl(ControlRef control, MenuItemIndex item) {
  if (!control) return paramErr;
  if (!IsControlActive(control) || !IsControlVisible(control)) return errControlInactive;
  if (control->kind == kControlKindCheckBox) {
    SetControlValue(control, control->value ? 0 : 1);
  } else if (control->kind == kControlKindPopupButton) {
    if (!control->menu || item < 1 || item > control->menu->items.size()) return paramErr;
    if (!control->menu->items[item - 1].enabled) return errMenuItemDisabled;
    SetControlValue(control, SInt16(item));
  }
  OpaqueEventRef event{kEventClassControl, kEventControlHit, control};
  OpaqueEventHandlerCallRef call{control, control->handlers.size()};
  return Dispatch(&call, &event);
}

namespace {

void Render(ControlRef c, int depth, std::ostringstream& out) {
  std::string pad(size_t(depth) * 2, ' ');
  char bounds[64];
  std::snprintf(bounds, sizeof bounds, "[%d,%d,%d,%d]", c->bounds.top, c->bounds.left, c->bounds.bottom,
                c->bounds.right);
  out << pad;
  switch (c->kind) {
    case kControlKindRoot: out << "window"; break;
    case kControlKindUserPane: out << "pane"; break;
    case kControlKindCheckBox: out << (c->value ? "[x] " : "[ ] ") << '"' << c->title << '"'; break;
    case kControlKindPopupButton: {
      std::string shown = c->menu && c->value >= 1 && size_t(c->value) <= c->menu->items.size()
                              ? c->menu->items[size_t(c->value) - 1].text
                              : "";
      out << "popup \"" << c->title << "\" = " << c->value << " \"" << shown << '"';
      break;
    }
    case kControlKindStaticText:
      out << "text \"" << c->title << '"'
          << ((c->style.flags & kControlUseJustMask) && c->style.just == teFlushRight ? " (right)" : "");
      break;
  }
  out << ' ' << bounds;
  if (!c->visible) out << " hidden";
  if (!c->active) out << " inactive";
  out << '\n';
  if (c->kind == kControlKindPopupButton && c->menu) {
    for (size_t i = 0; i < c->menu->items.size(); ++i) {
      const auto& item = c->menu->items[i];
      out << pad << "    " << (SInt16(i + 1) == c->value ? "* " : "  ") << i + 1 << " \"" << item.text << '"'
          << (item.enabled ? "" : " (disabled)") << '\n';
    }
  }
  for (ControlRef child : c->children) Render(child, depth + 1, out);
}

}  // namespace

std::string RenderPane(ControlRef pane) {
  std::ostringstream out;
  if (pane) Render(pane, 0, out);
  return out.str();
}

namespace tarvell {
namespace toolbox {

long LiveControlCount() { return gLiveControls.load(); }
long LiveMenuCount() { return gLiveMenus.load(); }

}  // namespace toolbox
}  // namespace tarvell

void tarvell::testing::FailNext(toolbox::Call call, int n, Fails how) {
  (call == toolbox::Call::kCreateMenu       ? gFailMenu
   : call == toolbox::Call::kInstallHandler ? gFailInstall
                                            : gFailEmbed)
      .Arm(n, how);
}
