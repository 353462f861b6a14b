#include "platform/toolbox/Toolbox.h"

#include <gtest/gtest.h>

namespace {

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    Rect bounds{0, 0, 300, 400};
    ASSERT_EQ(noErr, CreateNewWindow(&bounds, &window_));
    ASSERT_EQ(noErr, GetRootControl(window_, &root_));
    ASSERT_EQ(noErr, CreateUserPaneControl(window_, &bounds, 0, &pane_));
    ASSERT_EQ(noErr, EmbedControl(pane_, root_));
  }
  void TearDown() override { DisposeWindow(window_); }
  ControlRef Checkbox(SInt32 refCon = 1) {
    Rect r{20, 209, 38, 414};
    return NewControl(window_, &r, nullptr, true, 0, 0, 1, kControlCheckBoxProc, refCon);
  }
  ControlRef Popup(std::initializer_list<const char*> items) {
    Rect r{32, 209, 52, 414};
    ControlRef popup = nullptr;
    EXPECT_EQ(noErr, CreatePopupButtonControl(window_, &r, nullptr, -12345, true, 0, 0, 0, &popup));
    MenuRef menu = nullptr;
    EXPECT_EQ(noErr, CreateNewMenu(6011, 0, &menu));
    for (const char* item : items) {
      PMStringRef s = PMStringCreateWithCString(nullptr, item, kPMStringEncodingUTF8);
      AppendMenuItemTextWithCFString(menu, s, 0, 0, nullptr);
      PMRelease(s);
    }
    SetControlPopupMenu(popup, menu);
    ReleaseMenu(menu);
    SetControlMinimum(popup, 1);
    SetControlMaximum(popup, SInt16(items.size()));
    EmbedControl(popup, pane_);
    return popup;
  }
  WindowRef window_ = nullptr;
  ControlRef root_ = nullptr;
  ControlRef pane_ = nullptr;
};

TEST_F(Window, ValuesOutsideTheRangeAreClampedWhenSet) {
  ControlRef c = Checkbox();
  SetControlValue(c, 2);
  EXPECT_EQ(1, GetControlValue(c));
  SetControlValue(c, -3);
  EXPECT_EQ(0, GetControlValue(c));
  SetControlMaximum(c, 0);  // a value above a lowered maximum follows it
  SetControlValue(c, 1);
  EXPECT_EQ(0, GetControlValue(c));
  EXPECT_EQ(nullptr, NewControl(window_, nullptr, nullptr, true, 0, 0, 1, kControlCheckBoxProc, 0));
  Rect r{0, 0, 1, 1};
  EXPECT_EQ(nullptr, NewControl(window_, &r, nullptr, true, 0, 0, 1, 1, 0));  // unknown definition
}

TEST_F(Window, EmbeddingFollowsTheRules) {
  ControlRef box = Checkbox();
  ControlRef other = Checkbox();
  EXPECT_EQ(errControlIsNotEmbedder, EmbedControl(other, box));
  EXPECT_EQ(errCantEmbedIntoSelf, EmbedControl(pane_, pane_));
  EXPECT_EQ(errCantEmbedRoot, EmbedControl(root_, pane_));
  WindowRef second = nullptr;
  Rect bounds{0, 0, 10, 10};
  CreateNewWindow(&bounds, &second);
  ControlRef foreign = NewControl(second, &bounds, nullptr, true, 0, 0, 1, kControlCheckBoxProc, 0);
  EXPECT_EQ(errInvalidWindowRef, EmbedControl(foreign, pane_));
  DisposeWindow(second);
  EXPECT_EQ(noErr, EmbedControl(box, pane_));
  EXPECT_EQ(pane_, GetSuperControl(box));
  EXPECT_EQ(box, GetIndexedSubControl(pane_, 1));
  tarvell::testing::FailNext(tarvell::toolbox::Call::kEmbedControl, 1);
  EXPECT_NE(noErr, EmbedControl(other, pane_));
  EXPECT_EQ(1, CountSubControls(pane_));
}

TEST_F(Window, VisibilityAndActivityComeFromTheContainersToo) {
  ControlRef box = Checkbox();
  EmbedControl(box, pane_);
  EXPECT_TRUE(IsControlVisible(box));
  HideControl(pane_);
  EXPECT_FALSE(IsControlVisible(box));
  ShowControl(pane_);
  DeactivateControl(pane_);
  EXPECT_FALSE(IsControlActive(box));
  EXPECT_EQ(errControlInactive, ClickControl(box));
  ActivateControl(pane_);
  EXPECT_TRUE(IsControlActive(box));
}

TEST_F(Window, MenusEnableDisableAndCopyTheirItems) {
  MenuRef menu = nullptr;
  ASSERT_EQ(noErr, CreateNewMenu(7, 0, &menu));
  PMStringRef a = PMStringCreateWithCString(nullptr, "Top Left", kPMStringEncodingUTF8);
  MenuItemIndex index = 0;
  EXPECT_EQ(noErr, AppendMenuItemTextWithCFString(menu, a, 0, 0, &index));
  EXPECT_EQ(1, index);
  DisableMenuItem(menu, 1);
  EXPECT_FALSE(IsMenuItemEnabled(menu, 1));
  EnableMenuItem(menu, 1);
  EXPECT_TRUE(IsMenuItemEnabled(menu, 1));
  PMStringRef out = nullptr;
  EXPECT_EQ(noErr, CopyMenuItemTextAsCFString(menu, 1, &out));
  EXPECT_TRUE(PMEqual(a, out));
  PMRelease(out);
  EXPECT_EQ(menuItemNotFoundErr, CopyMenuItemTextAsCFString(menu, 2, &out));
  EXPECT_EQ(menuItemNotFoundErr, CopyMenuItemTextAsCFString(menu, 0, &out));
  EXPECT_EQ(menuItemNotFoundErr, CopyMenuItemTextAsCFString(nullptr, 1, &out));
  EXPECT_EQ(nullptr, out);
  PMRelease(a);
  ReleaseMenu(menu);
  tarvell::testing::FailNext(tarvell::toolbox::Call::kCreateMenu, 1);
  EXPECT_NE(noErr, CreateNewMenu(8, 0, &menu));
  EXPECT_EQ(nullptr, menu);
}

struct Trace {
  std::string calls;
};

OSStatus First(EventHandlerCallRef next, EventRef event, void* user) {
  static_cast<Trace*>(user)->calls += "first ";
  EXPECT_EQ(kEventClassControl, GetEventClass(event));
  EXPECT_EQ(kEventControlHit, GetEventKind(event));
  return CallNextEventHandler(next, event);
}
OSStatus Second(EventHandlerCallRef, EventRef, void* user) {
  static_cast<Trace*>(user)->calls += "second ";
  return noErr;
}

TEST_F(Window, ClicksRunTheNewestHandlerFirstDownTheChain) {
  ControlRef popup = Popup({"None", "TopLeft", "Dual"});
  Trace trace;
  EventTypeSpec hit{kEventClassControl, kEventControlHit};
  EventTypeSpec other{kEventClassControl, 2};
  ASSERT_EQ(noErr,
            InstallEventHandler(GetControlEventTarget(popup), NewEventHandlerUPP(Second), 1, &hit, &trace, nullptr));
  EventHandlerRef ignored = nullptr;
  ASSERT_EQ(noErr,
            InstallEventHandler(GetControlEventTarget(popup), NewEventHandlerUPP(Second), 1, &other, &trace, &ignored));
  ASSERT_EQ(noErr,
            InstallEventHandler(GetControlEventTarget(popup), NewEventHandlerUPP(First), 1, &hit, &trace, nullptr));
  EXPECT_EQ(noErr, ClickControl(popup, 3));
  EXPECT_EQ("first second ", trace.calls);  // the handler for another kind is skipped
  EXPECT_EQ(3, GetControlValue(popup));
  EXPECT_EQ(noErr, RemoveEventHandler(ignored));
  EXPECT_EQ(paramErr, InstallEventHandler(GetControlEventTarget(popup), nullptr, 1, &hit, nullptr, nullptr));
  tarvell::testing::FailNext(tarvell::toolbox::Call::kInstallHandler, 1);
  EXPECT_NE(noErr,
            InstallEventHandler(GetControlEventTarget(popup), NewEventHandlerUPP(First), 1, &hit, &trace, nullptr));
}

TEST_F(Window, ClicksOnDisabledOrMissingItemsAreRefused) {
  ControlRef popup = Popup({"None", "TopLeft"});
  SetControlValue(popup, 1);
  DisableMenuItem(GetControlPopupMenu(popup), 2);
  EXPECT_EQ(errMenuItemDisabled, ClickControl(popup, 2));
  EXPECT_EQ(paramErr, ClickControl(popup, 3));
  EXPECT_EQ(1, GetControlValue(popup));
  ControlRef box = Checkbox();
  EmbedControl(box, pane_);
  EXPECT_EQ(eventNotHandledErr, ClickControl(box));  // toggled, nobody listening
  EXPECT_EQ(1, GetControlValue(box));
  ClickControl(box);
  EXPECT_EQ(0, GetControlValue(box));
}

TEST_F(Window, RendersThePaneAsText) {
  ControlRef popup = Popup({"Off", "Top Left"});
  PMStringRef title = PMStringCreateWithCString(nullptr, "Staple", kPMStringEncodingUTF8);
  SetControlTitleWithCFString(popup, title);
  PMRelease(title);
  SetControlValue(popup, 1);
  DisableMenuItem(GetControlPopupMenu(popup), 2);
  ControlRef box = Checkbox();
  EmbedControl(box, pane_);
  SetControlValue(box, 1);
  DeactivateControl(box);
  EXPECT_EQ(
      "pane [0,0,300,400]\n"
      "  popup \"Staple\" = 1 \"Off\" [32,209,52,414]\n"
      "      * 1 \"Off\"\n"
      "        2 \"Top Left\" (disabled)\n"
      "  [x] \"\" [20,209,38,414] inactive\n",
      RenderPane(pane_));
}

TEST(Windows, DisposingOfAWindowFreesItsControlsAndTheirMenus) {
  long controls = tarvell::toolbox::LiveControlCount();
  long menus = tarvell::toolbox::LiveMenuCount();
  WindowRef w = nullptr;
  Rect r{0, 0, 10, 10};
  CreateNewWindow(&r, &w);
  ControlRef popup = nullptr;
  CreatePopupButtonControl(w, &r, nullptr, 0, true, 0, 0, 0, &popup);
  MenuRef menu = nullptr;
  CreateNewMenu(1, 0, &menu);
  SetControlPopupMenu(popup, menu);
  ReleaseMenu(menu);
  EXPECT_EQ(menus + 1, tarvell::toolbox::LiveMenuCount());
  DisposeWindow(w);
  EXPECT_EQ(controls, tarvell::toolbox::LiveControlCount());
  EXPECT_EQ(menus, tarvell::toolbox::LiveMenuCount());
}

}  // namespace
