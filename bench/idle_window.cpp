// The floor for the notifier at rest: a shown window of the notifier's size
// with a one-second timer that does nothing, and the message loop.
// Built by the windows preset (target idle_window) for scripts/bench.
#include <windows.h>

namespace {

constexpr UINT_PTR idleTimerId = 1;
constexpr UINT idleTimerPeriodMs = 1000;

}  // namespace

LRESULT CALLBACK IdleWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      return 0;
    case WM_DESTROY:
      KillTimer(window, idleTimerId);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = IdleWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "IdleWindow";
  if (RegisterClassExA(&windowClass) == 0) return 1;
  HWND window = CreateWindowExA(0, "IdleWindow", "Idle", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 600, 400,
                                nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, showCommand);
  SetTimer(window, idleTimerId, idleTimerPeriodMs, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
