#include "main_window.h"

#include <gdiplus.h>

#include <cstdio>
#include <string>

#include "guest_tracker.h"
#include "painter.h"
#include "panel_layout.h"
#include "reception_client.h"
#include "resource.h"
#include "settings.h"
#include "user_dialog.h"

std::int32_t timerId = -1;

const char mainWindowClassName[] = "CodeBlocksWindowsApp";
const char mainWindowTitle[] = "Vestibra";
const char settingsFileName[] = "settings.conf";

MainWindowSteps mainWindowSteps{paintPanel, pollTick, bringToFront};

namespace {

constexpr std::int32_t mainTimerId = 1;
constexpr UINT tickPeriodMs = 1000;
constexpr int windowWidth = 600;
constexpr int windowHeight = 400;

void onCreate(HWND window) {
  timerId = mainTimerId;
  SetTimer(window, static_cast<UINT_PTR>(mainTimerId), tickPeriodMs, nullptr);
}

// What the panel shows: whether it is up, and for which guest.
struct ShownPanel {
  bool shown = false;
  std::string guestId;
  bool operator!=(const ShownPanel& other) const { return shown != other.shown || guestId != other.guestId; }
};

ShownPanel shownPanel() {
  return ShownPanel{guestTracker.guestWaiting, notificationList.empty() ? std::string() : notificationList.front().id};
}

void repaintNow(HWND window) { RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }

// Paint first, so the panel shows what the previous tick left; then poll. A
// poll that changes the panel paints again before the raise: a raised window
// always shows its panel, and a click lands on the Close box the user sees.
void onTimer(HWND window) {
  repaintNow(window);
  ShownPanel before = shownPanel();
  mainWindowSteps.poll(false);
  if (shownPanel() != before) repaintNow(window);
  if (guestTracker.guestWaiting) mainWindowSteps.raise(window);
}

void onPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC deviceContext = BeginPaint(window, &paint);
  mainWindowSteps.paint(deviceContext);
  EndPaint(window, &paint);
}

// Only a shown panel can be dismissed: after a dismiss the panel stays hidden
// until the next poll, and a second click there must not archive a guest
// nobody has seen yet.
void onLeftButtonUp(HWND window, LPARAM lParam) {
  std::int32_t x = LOWORD(lParam);
  std::int32_t y = HIWORD(lParam);
  if (!guestTracker.guestWaiting || !strictlyInside(panelLayout.closeBox, x, y)) return;
  dismissFirst();
  InvalidateRect(window, nullptr, TRUE);
}

void onCommand(HWND window, WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDM_FILE_EXIT:
      PostMessageA(window, WM_CLOSE, 0, 0);
      break;
    case IDM_HELP_ABOUT:
      DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_USER_DIALOG), window, UserDialogProc, 0);
      break;
    default:
      break;
  }
}

void onDestroy(HWND window) {
  KillTimer(window, static_cast<UINT_PTR>(timerId));
  PostQuitMessage(0);
}

// Answers messages other threads and processes send to the window (such as
// a system probe for hung windows) between the blocking start-up requests,
// leaving posted ones queued for the loop.
void answerSentMessages() {
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Diagnostics reach standard output only when it is redirected; unbuffered,
// each line is in the file as soon as it is printed, even if the process is
// ended from outside. Text mode keeps the platform's CR LF line ends.
// NOLINTNEXTLINE(cert-err33-c): if it fails, the lines arrive buffered, which is no worse
void sendDiagnosticsUnbuffered() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

}  // namespace

void resetMainWindowSteps() { mainWindowSteps = MainWindowSteps{paintPanel, pollTick, bringToFront}; }

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      onCreate(window);
      return 0;
    case WM_TIMER:
      onTimer(window);
      return 0;
    case WM_PAINT:
      onPaint(window);
      return 0;
    case WM_LBUTTONUP:
      onLeftButtonUp(window, lParam);
      return 0;
    case WM_COMMAND:
      onCommand(window, wParam);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      onDestroy(window);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

void bringToFront(HWND window) {
  // Raising a minimised window would leave it a taskbar button, the panel unseen.
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  // While the user dialog is open the window is disabled and the dialog has
  // the keyboard: taking it once a second would make the dialog unusable. The
  // window is then raised without activation and the dialog comes forward
  // with its focus where the user left it.
  bool dialogOpen = !IsWindowEnabled(window);
  UINT activation = dialogOpen ? SWP_NOACTIVATE : 0;
  // Topmost and back again puts the window on top of the z-order without
  // keeping it above every other window afterwards.
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | activation);
  SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE | activation);
  if (dialogOpen) {
    SetForegroundWindow(GetLastActivePopup(window));
    return;
  }
  SetForegroundWindow(window);
  SetFocus(window);
  SetActiveWindow(window);
}

void startGdiplus() {
  // Version 1, background thread and external codecs on. Never shut down:
  // painting may happen until the process ends.
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
}

bool registerMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  // A system colour index used as the brush itself, not the usual index + 1.
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the window class takes colour indexes in its brush field
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BACKGROUND));
  windowClass.lpszMenuName = MAKEINTRESOURCEA(IDM_MAIN_MENU);
  windowClass.lpszClassName = mainWindowClassName;
  return RegisterClassExA(&windowClass) != 0;
}

HWND createMainWindow(HINSTANCE instance, int showCommand) {
  HWND window = CreateWindowExA(0, mainWindowClassName, mainWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, windowWidth, windowHeight, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, showCommand);
  return window;
}

int runMessageLoop() {
  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

int runNotifier(HINSTANCE instance, int showCommand) {
  sendDiagnosticsUnbuffered();
  startGdiplus();
  if (!registerMainWindowClass(instance)) return 0;
  createMainWindow(instance, showCommand);
  // These block before the loop: nothing is painted until the first poll is back.
  loadSettings(settingsFileName, settingsMap);
  fetchUsers(userList);
  answerSentMessages();
  mainWindowSteps.poll(true);
  return runMessageLoop();
}
