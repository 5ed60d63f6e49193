// Helpers for the desktop shell's tests: a clean process state per test and
// a driver that works a modal dialog from inside its own message loop.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

// A fresh working directory plus the shell's and the core's process-wide
// state back at their start values.
class ShellStateTest : public WorkingDirectoryTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Removes what is queued for this thread (a stray WM_QUIT would end the next loop).
void drainMessages();

// This thread's top-level window of that class and title, or null. Windows of
// test processes running beside this one are never found.
HWND findOwnWindow(const char* className, const char* title);

// A path as the Windows side names it: Unix paths are reached through drive Z:.
std::string windowsPath(const std::string& path);

// One step of a scripted dialog session, run on a timer tick inside the
// dialog's modal loop.
using DialogStep = std::function<void(HWND dialog)>;

struct DialogSession {
  INT_PTR result = 0;
  bool timedOut = false;  // the steps did not close the dialog; it was cancelled
};

// Opens the user dialog modally over owner (or runs open(), which must open
// it) and feeds it the steps, one per tick. A dialog still open some seconds
// after the last step is cancelled and reported as timed out.
DialogSession runUserDialog(HWND owner, std::vector<DialogStep> steps);
DialogSession driveDialog(const std::function<INT_PTR()>& open, std::vector<DialogStep> steps);

// The combo box's entries and its selection.
std::vector<std::string> comboEntries(HWND dialog);
LRESULT comboSelection(HWND dialog);
// What the user does: pick an entry (the combo box then notifies its owner), press a button.
void chooseEntry(HWND dialog, WPARAM index);
void pressButton(HWND dialog, int buttonId);
