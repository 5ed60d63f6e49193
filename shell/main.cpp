#include <windows.h>

#include "main_window.h"

// The notifier takes no arguments.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) { return runNotifier(instance, showCommand); }
