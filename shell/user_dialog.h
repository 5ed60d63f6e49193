// The user selection dialog behind Help > About.
#pragma once

#include <windows.h>

// Lists the service's users, preselects the watched one (nothing when no name
// matches it), writes a new choice into the settings at once and saves them on
// OK (result 1); Cancel gives 2.
INT_PTR CALLBACK UserDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
