// Headless toolbox: windows holding a tree of controls (user panes, checkboxes, pop-up buttons,
// static text), menus, and event handlers installed on controls. Nothing is drawn on a screen;
// RenderPane prints a pane as text so that a person can see what it shows.
#pragma once

#include <string>

#include "platform/printing/PMTypes.h"
#include "platform/system/FaultInjection.h"

struct Rect {
  SInt16 top, left, bottom, right;
};

typedef struct OpaqueWindowRef* WindowRef;
typedef struct OpaqueControlRef* ControlRef;
typedef struct OpaqueMenuRef* MenuRef;
typedef SInt16 MenuID;
typedef UInt16 MenuItemIndex;

enum : OSStatus {
  errInvalidWindowRef = -5600,
  menuItemNotFoundErr = -5620,
  errControlIsNotEmbedder = -30590,
  errCantEmbedIntoSelf = -30591,
  errCantEmbedRoot = -30592,
  errControlInactive = -30593,
  errMenuItemDisabled = -30594,
  eventNotHandledErr = -9874,
};

// Windows own every control made in them; disposing of the window disposes of them all.
OSStatus CreateNewWindow(const Rect* bounds, WindowRef* outWindow);
void DisposeWindow(WindowRef window);
OSStatus GetRootControl(WindowRef window, ControlRef* outControl);
WindowRef GetControlOwner(ControlRef control);

// Control kinds.
enum ControlKind {
  kControlKindRoot,
  kControlKindUserPane,
  kControlKindCheckBox,
  kControlKindPopupButton,
  kControlKindStaticText
};
// The definition number of a checkbox that toggles itself when clicked.
enum : SInt16 { kControlCheckBoxProc = 3 };

OSStatus CreateUserPaneControl(WindowRef window, const Rect* bounds, UInt32 features, ControlRef* outControl);
// Classic constructor; only definition number kControlCheckBoxProc is known. Null on failure.
ControlRef NewControl(WindowRef window, const Rect* bounds, const char* title, bool visible, SInt16 value,
                      SInt16 minimum, SInt16 maximum, SInt16 procID, SInt32 refCon);
OSStatus CreatePopupButtonControl(WindowRef window, const Rect* bounds, PMStringRef title, SInt16 menuID,
                                  bool variableWidth, SInt16 titleWidth, SInt16 titleJustification, UInt8 titleStyle,
                                  ControlRef* outControl);
OSStatus CreateStaticTextControl(WindowRef window, const Rect* bounds, PMStringRef text,
                                 const struct ControlFontStyleRec* style, ControlRef* outControl);
ControlKind GetControlKind(ControlRef control);
SInt16 GetControlProcID(ControlRef control);
SInt32 GetControlReference(ControlRef control);

// Embedding: the container must be a root or user pane of the same window.
OSStatus EmbedControl(ControlRef control, ControlRef container);
ControlRef GetSuperControl(ControlRef control);
UInt16 CountSubControls(ControlRef control);
ControlRef GetIndexedSubControl(ControlRef control, UInt16 index);  // 1-based

void ShowControl(ControlRef control);
void HideControl(ControlRef control);
bool IsControlVisible(ControlRef control);
void Draw1Control(ControlRef control);
void ActivateControl(ControlRef control);
void DeactivateControl(ControlRef control);
bool IsControlActive(ControlRef control);

// Values: setting a value outside minimum..maximum stores the nearest bound.
SInt16 GetControlValue(ControlRef control);
void SetControlValue(ControlRef control, SInt16 value);
SInt16 GetControlMinimum(ControlRef control);
void SetControlMinimum(ControlRef control, SInt16 minimum);
SInt16 GetControlMaximum(ControlRef control);
void SetControlMaximum(ControlRef control, SInt16 maximum);

void GetControlBounds(ControlRef control, Rect* bounds);
void SetControlBounds(ControlRef control, const Rect* bounds);
OSStatus SetControlTitleWithCFString(ControlRef control, PMStringRef title);
// A new reference to the title (static text: its text).
OSStatus CopyControlTitleAsCFString(ControlRef control, PMStringRef* title);

struct ControlFontStyleRec {
  SInt16 flags;
  SInt16 font;
  SInt16 size;
  SInt16 style;
  SInt16 mode;
  SInt16 just;
};
enum : SInt16 { kControlUseJustMask = 0x0040, teFlushDefault = 0, teCenter = 1, teFlushRight = -1, teFlushLeft = -2 };
OSStatus SetControlFontStyle(ControlRef control, const ControlFontStyleRec* style);
ControlFontStyleRec GetControlFontStyle(ControlRef control);

// Pop-up buttons hold a reference to their menu; the value range should follow its items.
OSStatus SetControlPopupMenu(ControlRef control, MenuRef menu);
MenuRef GetControlPopupMenu(ControlRef control);

// Menus are reference counted: created with one reference.
OSStatus CreateNewMenu(MenuID menuID, UInt32 attributes, MenuRef* outMenu);
void RetainMenu(MenuRef menu);
void ReleaseMenu(MenuRef menu);
MenuID GetMenuID(MenuRef menu);
OSStatus AppendMenuItemTextWithCFString(MenuRef menu, PMStringRef text, UInt32 attributes, UInt32 commandID,
                                        MenuItemIndex* outIndex);
UInt16 CountMenuItems(MenuRef menu);
void EnableMenuItem(MenuRef menu, MenuItemIndex item);
void DisableMenuItem(MenuRef menu, MenuItemIndex item);
bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item);
// A new reference to the item's text; menuItemNotFoundErr when there is no such item.
OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, PMStringRef* outText);
// A value kept with a menu item for whoever knows its creator and tag (why the item is disabled,
// say): retained; a null value removes it. menuItemNotFoundErr when there is no such item.
OSStatus SetMenuItemProperty(MenuRef menu, MenuItemIndex item, OSType creator, OSType tag, PMTypeRef value);
// The value (not retained), or null when the item has none under that creator and tag.
PMTypeRef GetMenuItemProperty(MenuRef menu, MenuItemIndex item, OSType creator, OSType tag);

// Events.
typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;
typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef nextHandler, EventRef event, void* userData);
typedef EventHandlerProcPtr EventHandlerUPP;
struct EventTypeSpec {
  UInt32 eventClass;
  UInt32 eventKind;
};
enum : UInt32 { kEventClassControl = 0x636e746c /* 'cntl' */, kEventControlHit = 1 };

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr proc);
void DisposeEventHandlerUPP(EventHandlerUPP upp);
EventTargetRef GetControlEventTarget(ControlRef control);
// Handlers installed later run first; each may pass the event on with CallNextEventHandler.
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes, const EventTypeSpec* list,
                             void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handler);
OSStatus CallNextEventHandler(EventHandlerCallRef nextHandler, EventRef event);
UInt32 GetEventClass(EventRef event);
UInt32 GetEventKind(EventRef event);
ControlRef GetEventControl(EventRef event);  // the direct object of a control event

// A user's click on `control`, as the toolbox tracks it: a checkbox toggles; a pop-up button
// selects menu item `item` (refused with errMenuItemDisabled for a disabled item, paramErr for
// no such item). Then the control-hit event runs through the control's handlers; their result
// is returned (eventNotHandledErr when nobody handled it). An inactive or hidden control
// refuses clicks (errControlInactive).
OSStatus ClickControl(ControlRef control, MenuItemIndex item = 0);

// The pane and everything embedded in it, one control a line, indented by depth.
std::string RenderPane(ControlRef pane);

namespace tarvell {
namespace toolbox {

// Live objects, for leak checks in tests.
long LiveControlCount();
long LiveMenuCount();

// Test hooks.
enum class Call { kCreateMenu, kInstallHandler, kEmbedControl };

}  // namespace toolbox
}  // namespace tarvell

namespace tarvell::testing {
// Making a menu, installing an event handler or embedding a control fails.
void FailNext(toolbox::Call call, int n, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
