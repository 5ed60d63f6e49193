#include "shell_test_support.h"

#include <algorithm>
#include <cstring>

#include "guest_tracker.h"
#include "main_window.h"
#include "panel_layout.h"
#include "reception_client.h"
#include "resource.h"
#include "settings.h"
#include "user_dialog.h"

namespace {

constexpr UINT stepPeriodMs = 20;
constexpr int graceTicks = 250;  // about five seconds after the last step

struct DriverState {
  std::vector<DialogStep> steps;
  std::size_t next = 0;
  int ticksLeft = 0;
  bool timedOut = false;
};
DriverState driver;

HWND openDialog() { return findOwnWindow("#32770", "My About Box"); }

void CALLBACK driverTick(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = openDialog();
  if (dialog == nullptr) return;
  if (driver.next < driver.steps.size()) {
    DialogStep step = driver.steps[driver.next++];
    step(dialog);
  } else if (--driver.ticksLeft <= 0 && !driver.timedOut) {
    driver.timedOut = true;
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  }
}

}  // namespace

void ShellStateTest::SetUp() {
  WorkingDirectoryTest::SetUp();
  resetGuestTracking();
  resetMainWindowSteps();
  settingsMap.clear();
  userList.clear();
  panelLayout = PanelLayout{};
  drainMessages();
}

void ShellStateTest::TearDown() {
  drainMessages();
  resetMainWindowSteps();
  WorkingDirectoryTest::TearDown();
}

void drainMessages() {
  MSG message;
  for (int count = 0; count < 10000 && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++count) {
    if (message.message != WM_QUIT) DispatchMessageA(&message);
  }
}

HWND findOwnWindow(const char* className, const char* title) {
  struct Search {
    const char* className;
    const char* title;
    HWND found;
  } search{className, title, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM context) -> BOOL {
        auto* wanted = reinterpret_cast<Search*>(context);
        char name[256] = {};
        char text[256] = {};
        GetClassNameA(window, name, sizeof name);
        GetWindowTextA(window, text, sizeof text);
        if (std::strcmp(name, wanted->className) != 0 || std::strcmp(text, wanted->title) != 0) return TRUE;
        wanted->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string windowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string converted = "Z:" + path;
  std::replace(converted.begin(), converted.end(), '/', '\\');
  return converted;
}

DialogSession driveDialog(const std::function<INT_PTR()>& open, std::vector<DialogStep> steps) {
  driver = DriverState{std::move(steps), 0, graceTicks, false};
  UINT_PTR timer = SetTimer(nullptr, 0, stepPeriodMs, driverTick);
  DialogSession session;
  session.result = open();
  KillTimer(nullptr, timer);
  session.timedOut = driver.timedOut;
  return session;
}

DialogSession runUserDialog(HWND owner, std::vector<DialogStep> steps) {
  return driveDialog(
      [owner] {
        return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_USER_DIALOG), owner, UserDialogProc, 0);
      },
      std::move(steps));
}

std::vector<std::string> comboEntries(HWND dialog) {
  HWND combo = GetDlgItem(dialog, IDC_USER_COMBO);
  std::vector<std::string> entries;
  LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT index = 0; index < count && index < 1000; ++index) {
    LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    std::string text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, '\0');
    SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    entries.emplace_back(text.c_str());
  }
  return entries;
}

LRESULT comboSelection(HWND dialog) { return SendMessageA(GetDlgItem(dialog, IDC_USER_COMBO), CB_GETCURSEL, 0, 0); }

void chooseEntry(HWND dialog, WPARAM index) {
  HWND combo = GetDlgItem(dialog, IDC_USER_COMBO);
  SendMessageA(combo, CB_SETCURSEL, index, 0);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_USER_COMBO, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

void pressButton(HWND dialog, int buttonId) { SendMessageA(GetDlgItem(dialog, buttonId), BM_CLICK, 0, 0); }
