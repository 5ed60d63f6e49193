// The notifier's one top-level window: its class, its procedure and the
// start-up that leads into its message loop.
// Errors: Win32's own (false, null) where a call can fail; the window shows
// none, so what fails below it leaves the panel as it was.
#pragma once

#include <windows.h>

#include <cstdint>

// -1 until the window is created, then the id of its one timer.
extern std::int32_t timerId;

extern const char mainWindowClassName[];
extern const char mainWindowTitle[];
extern const char settingsFileName[];

// What the window procedure calls to paint, poll and raise. Tests replace
// single steps to watch when and in which order the procedure takes them.
struct MainWindowSteps {
  void (*paint)(HDC deviceContext);
  void (*poll)(bool force);
  void (*raise)(HWND window);
};
extern MainWindowSteps mainWindowSteps;
void resetMainWindowSteps();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Raises and activates window without leaving it topmost.
void bringToFront(HWND window);

// Start-up steps, in the order runNotifier takes them.
void startGdiplus();
bool registerMainWindowClass(HINSTANCE instance);
HWND createMainWindow(HINSTANCE instance, int showCommand);
// Runs until WM_QUIT and returns its exit code.
int runMessageLoop();

// The whole program: start-up, settings, users, the forced poll, the loop.
int runNotifier(HINSTANCE instance, int showCommand);
