#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "guest_tracker.h"
#include "loopback_server.h"
#include "main_window.h"
#include "painter.h"
#include "panel_layout.h"
#include "reception_client.h"
#include "resource.h"
#include "settings.h"
#include "shell_test_support.h"

namespace {

// What the window procedure did, in order, as the replaced steps saw it.
std::vector<std::string> events;
bool guestAfterPoll = false;

void recordPaint(HDC) { events.push_back("paint"); }
void recordPoll(bool force) {
  events.push_back(force ? "poll forced" : "poll");
  guestTracker.guestWaiting = guestAfterPoll;
}
void recordRaise(HWND) { events.push_back("raise"); }

// A loop that never ends on its own stops after this, with exit code 99.
constexpr UINT loopGuardMs = 10000;
void CALLBACK stopRunawayLoop(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); }

Notification guest(const std::string& id) { return Notification{id, "Mr " + id, "at the desk", 9, 0, 0}; }

LPARAM at(int x, int y) { return MAKELPARAM(x, y); }

class MainWindow : public ShellStateTest {
 protected:
  void SetUp() override {
    ShellStateTest::SetUp();
    events.clear();
    guestAfterPoll = false;
    mainWindowSteps = MainWindowSteps{recordPaint, recordPoll, recordRaise};
    instance_ = GetModuleHandleA(nullptr);
    ASSERT_TRUE(registerMainWindowClass(instance_));
    timerId = -1;
    window_ = createMainWindow(instance_, SW_SHOWNORMAL);
    ASSERT_NE(window_, nullptr);
    drainMessages();
    events.clear();
  }
  void TearDown() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    drainMessages();
    UnregisterClassA(mainWindowClassName, instance_);
    ShellStateTest::TearDown();
  }
  // Runs the real message loop, guarded against never ending.
  int runLoop() {
    UINT_PTR guard = SetTimer(nullptr, 0, loopGuardMs, stopRunawayLoop);
    int exitCode = runMessageLoop();
    KillTimer(nullptr, guard);
    return exitCode;
  }
  void click(int x, int y) { SendMessageA(window_, WM_LBUTTONUP, 0, at(x, y)); }

  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
};

TEST_F(MainWindow, ClassWindowAndTimerAsCreated) {
  char text[64] = {};
  GetClassNameA(window_, text, sizeof text);
  EXPECT_STREQ(text, "CodeBlocksWindowsApp");
  GetWindowTextA(window_, text, sizeof text);
  EXPECT_STREQ(text, "Vestibra");
  EXPECT_EQ(GetClassLongPtrA(window_, GCL_STYLE), static_cast<ULONG_PTR>(CS_DBLCLKS));
  EXPECT_EQ(GetClassLongPtrA(window_, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BACKGROUND));
  EXPECT_EQ(GetClassLongPtrA(window_, GCLP_WNDPROC), reinterpret_cast<ULONG_PTR>(MainWindowProc));

  RECT bounds;
  GetWindowRect(window_, &bounds);
  EXPECT_EQ(bounds.right - bounds.left, 600);
  EXPECT_EQ(bounds.bottom - bounds.top, 400);
  auto style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE));
  EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, static_cast<DWORD>(WS_OVERLAPPEDWINDOW));
  EXPECT_TRUE(IsWindowVisible(window_));

  // The class menu is attached: File > Exit and Help > About.
  HMENU menu = GetMenu(window_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 0), 0), static_cast<UINT>(IDM_FILE_EXIT));
  EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 1), 0), static_cast<UINT>(IDM_HELP_ABOUT));

  EXPECT_EQ(panelLayout.closeBox.x, 470);
  EXPECT_EQ(panelLayout.closeBox.y, 95);
  EXPECT_EQ(panelLayout.closeBox.width, 100);
  EXPECT_EQ(panelLayout.closeBox.height, 40);
  EXPECT_EQ(timerId, 1);
  EXPECT_TRUE(KillTimer(window_, 1)) << "timer 1 runs on the window";
}

TEST_F(MainWindow, TickRepaintsThenPollsAndRaisesOnlyWhileAGuestWaits) {
  SendMessageA(window_, WM_TIMER, 1, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"paint", "poll"}));

  // A poll that puts the panel up paints it again before the raise; one that
  // leaves it as it was does not.
  events.clear();
  guestAfterPoll = true;
  SendMessageA(window_, WM_TIMER, 1, 0);
  SendMessageA(window_, WM_TIMER, 7, 0);  // any timer id ticks the same
  EXPECT_EQ(events, (std::vector<std::string>{"paint", "poll", "paint", "raise", "paint", "poll", "raise"}));

  events.clear();
  guestAfterPoll = false;
  SendMessageA(window_, WM_TIMER, 1, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"paint", "poll", "paint"}));
}

// The window's client pixels at the moment of the raise, read back from its
// device context.
std::vector<COLORREF> pixelsAtRaise;
void recordPixelsAtRaise(HWND window) {
  events.push_back("raise");
  HDC deviceContext = GetDC(window);
  for (auto [x, y] : {std::pair{20, 20}, {20, 80}, {500, 100}}) {
    pixelsAtRaise.push_back(GetPixel(deviceContext, x, y));
  }
  ReleaseDC(window, deviceContext);
}

TEST_F(MainWindow, APollThatAddsTheFirstGuestShowsThePanelBeforeTheRaise) {
  mainWindowSteps = MainWindowSteps{paintPanel, [](bool) {
                                      notificationList.push_back(guest("g1"));
                                      guestTracker.guestWaiting = true;
                                    },
                                    recordPixelsAtRaise};
  pixelsAtRaise.clear();
  SendMessageA(window_, WM_TIMER, 1, 0);
  ASSERT_EQ(events, std::vector<std::string>{"raise"});
  // The panel's title bar, the guest's box and the Close box.
  EXPECT_EQ(pixelsAtRaise, (std::vector<COLORREF>{RGB(0x64, 0x0A, 0x0A), RGB(0xDC, 0xDC, 0xDC), RGB(0x64, 0x64, 0x64)}));
}

TEST_F(MainWindow, RealTimerTicksArrive) {
  guestAfterPoll = true;
  // Ends the loop once a tick has been through; the guard bounds the wait.
  mainWindowSteps.raise = [](HWND window) {
    events.push_back("raise");
    PostMessageA(window, WM_COMMAND, IDM_FILE_EXIT, 0);
  };
  EXPECT_EQ(runLoop(), 0);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
            (std::vector<std::string>{"paint", "poll", "paint", "raise"}));
}

TEST_F(MainWindow, CloseBoxBoundsAreStrictAndOnlyAShownPanelDismisses) {
  LoopbackServer server({{httpResponse("1")}});
  serviceBaseUrl = server.baseUrl();
  notificationList = {guest("g1"), guest("g2"), guest("g3")};
  guestTracker.guestWaiting = true;

  for (auto [x, y] : {std::pair{470, 96}, {570, 96}, {471, 95}, {471, 135}, {300, 96}}) click(x, y);
  EXPECT_EQ(notificationList.size(), 3u);
  EXPECT_TRUE(server.requests().empty());

  click(471, 96);
  ASSERT_EQ(notificationList.size(), 2u);
  EXPECT_EQ(notificationList.front().id, "g2");
  EXPECT_FALSE(guestTracker.guestWaiting);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_NE(server.requests()[0].find("archiveNotification?key="), std::string::npos);
  EXPECT_NE(server.requests()[0].find("&id=g1 "), std::string::npos);

  // The panel is hidden until the next poll: clicks there, such as the second
  // release of a double click, archive nobody.
  click(569, 134);
  SendMessageA(window_, WM_LBUTTONDBLCLK, 0, at(520, 115));
  click(520, 115);
  EXPECT_EQ(notificationList.size(), 2u);
  EXPECT_EQ(server.requests().size(), 1u);

  guestTracker.guestWaiting = true;
  click(569, 134);
  EXPECT_EQ(notificationList.size(), 1u);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(MainWindow, ClickWithAnEmptyListDoesNothing) {
  LoopbackServer server({{httpResponse("1")}});
  serviceBaseUrl = server.baseUrl();
  guestTracker.guestWaiting = true;
  click(520, 115);
  EXPECT_TRUE(notificationList.empty());
  EXPECT_TRUE(guestTracker.guestWaiting);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(MainWindow, FileExitAndTheCloseCommandEndTheLoopWithExitCodeZero) {
  PostMessageA(window_, WM_COMMAND, IDM_FILE_EXIT, 0);
  EXPECT_EQ(runLoop(), 0);
  EXPECT_FALSE(IsWindow(window_));

  window_ = createMainWindow(instance_, SW_SHOWNORMAL);
  PostMessageA(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(runLoop(), 0);
  EXPECT_FALSE(IsWindow(window_));
}

TEST_F(MainWindow, AboutRunsTheUserDialogModallyWhileTicksGoOn) {
  userList = {"Ann Lee", "Bob Ray"};
  bool ownerDisabled = false;
  auto polls = [] { return std::count(events.begin(), events.end(), "poll"); };
  // First look at the dialog, then cancel it as soon as a tick has polled
  // (about three seconds at most before the driver gives up).
  std::vector<DialogStep> steps(150, [&](HWND dialog) {
    if (polls() > 0) pressButton(dialog, IDCANCEL);
  });
  steps.insert(steps.begin(), [&](HWND dialog) {
    ownerDisabled = GetParent(dialog) == window_ && !IsWindowEnabled(window_);
  });
  DialogSession session = driveDialog(
      [this] {
        SendMessageA(window_, WM_COMMAND, IDM_HELP_ABOUT, 0);
        return INT_PTR{0};
      },
      steps);
  EXPECT_FALSE(session.timedOut) << "no tick of the main window while the dialog was open";
  EXPECT_TRUE(ownerDisabled);
  EXPECT_TRUE(IsWindowEnabled(window_));
}

TEST(BringToFront, RaisesAndActivatesWithoutStayingTopmost) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  ASSERT_TRUE(registerMainWindowClass(instance));
  HWND first = createMainWindow(instance, SW_SHOWNORMAL);
  HWND second = createMainWindow(instance, SW_SHOWNORMAL);
  SetForegroundWindow(second);
  ASSERT_EQ(GetForegroundWindow(), second);

  bringToFront(first);
  EXPECT_EQ(GetForegroundWindow(), first);
  EXPECT_EQ(GetActiveWindow(), first);
  EXPECT_EQ(GetFocus(), first);
  EXPECT_EQ(GetWindowLongPtrA(first, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

  // A minimised window comes back, or the panel would never be seen.
  ShowWindow(first, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(first));
  bringToFront(first);
  EXPECT_FALSE(IsIconic(first));
  EXPECT_TRUE(IsWindowVisible(first));

  DestroyWindow(second);
  DestroyWindow(first);
  drainMessages();
  UnregisterClassA(mainWindowClassName, instance);
}

TEST_F(MainWindow, RaisingWhileTheDialogIsOpenLeavesTheDialogItsKeyboardFocus) {
  userList = {"Ann Lee", "Bob Ray"};
  HWND combo = nullptr, focus = nullptr, active = nullptr, dialogSeen = nullptr;
  bool dialogAbove = false;
  std::vector<DialogStep> steps{[&](HWND dialog) {
    dialogSeen = dialog;
    combo = GetDlgItem(dialog, IDC_USER_COMBO);
    SetFocus(combo);
    bringToFront(window_);
    focus = GetFocus();
    active = GetActiveWindow();
    // Owned windows stay above their owner.
    for (HWND below = GetWindow(dialog, GW_HWNDNEXT); below != nullptr; below = GetWindow(below, GW_HWNDNEXT)) {
      if (below == window_) dialogAbove = true;
    }
    pressButton(dialog, IDCANCEL);
  }};
  driveDialog(
      [this] {
        SendMessageA(window_, WM_COMMAND, IDM_HELP_ABOUT, 0);
        return INT_PTR{0};
      },
      steps);
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(focus, combo);
  EXPECT_EQ(active, dialogSeen);
  EXPECT_TRUE(dialogAbove);
}

// The whole start-up against a real server: settings, users, forced poll, loop.
class StartUp : public ShellStateTest {
 protected:
  void TearDown() override {
    drainMessages();
    UnregisterClassA(mainWindowClassName, GetModuleHandleA(nullptr));
    ShellStateTest::TearDown();
  }
};

void CALLBACK exitOnceShown(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND window = findOwnWindow(mainWindowClassName, mainWindowTitle);
  if (window == nullptr) return;
  KillTimer(nullptr, timer);
  PostMessageA(window, WM_COMMAND, IDM_FILE_EXIT, 0);
}

TEST_F(StartUp, LoadsSettingsFetchesUsersPollsThenLoopsUntilExit) {
  writeFileBytes("settings.conf", "user=Bob Ray\r\n");
  LoopbackServer server({{httpResponse("Ann Lee,Bob Ray")}, {httpResponse("n1|Mr Smith|at the desk|9|0|0")}});
  serviceBaseUrl = server.baseUrl();

  UINT_PTR exitTimer = SetTimer(nullptr, 0, 50, exitOnceShown);
  UINT_PTR guard = SetTimer(nullptr, 0, loopGuardMs, stopRunawayLoop);
  int exitCode = runNotifier(GetModuleHandleA(nullptr), SW_SHOWNORMAL);
  KillTimer(nullptr, guard);
  KillTimer(nullptr, exitTimer);

  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(userList, (UserList{"Ann Lee", "Bob Ray"}));
  ASSERT_GE(server.requests().size(), 2u);
  EXPECT_NE(server.requests()[0].find("GET /api/reception/listUsers?key="), std::string::npos);
  EXPECT_NE(server.requests()[1].find("getNotification?key=m9pqzRWkfhT7031&fn=Bob&ln=Ray "), std::string::npos);
  ASSERT_EQ(notificationList.size(), 1u);
  EXPECT_TRUE(guestTracker.guestWaiting);
  EXPECT_EQ(findOwnWindow(mainWindowClassName, mainWindowTitle), nullptr);
}

TEST_F(StartUp, EndsWithZeroBeforeReadingAnythingWhenTheClassCannotRegister) {
  writeFileBytes("settings.conf", "user=Bob Ray\r\n");
  LoopbackServer server({{httpResponse("Ann Lee")}});
  serviceBaseUrl = server.baseUrl();
  ASSERT_TRUE(registerMainWindowClass(GetModuleHandleA(nullptr)));  // taken already

  EXPECT_EQ(runNotifier(GetModuleHandleA(nullptr), SW_SHOWNORMAL), 0);
  EXPECT_TRUE(settingsMap.empty());
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(findOwnWindow(mainWindowClassName, mainWindowTitle), nullptr);
}

}  // namespace

