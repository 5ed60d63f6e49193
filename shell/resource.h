// Identifiers of the notifier's resources, shared by the resource script and
// the code that loads or answers them.
#pragma once

// Main window menu and its commands.
#define IDM_MAIN_MENU 100
#define IDM_FILE_EXIT 40000
#define IDM_HELP_ABOUT 40004

// User selection dialog and its combo box.
#define IDD_USER_DIALOG 103
#define IDC_USER_COMBO 70
