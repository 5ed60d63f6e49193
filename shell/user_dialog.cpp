#include "user_dialog.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "main_window.h"
#include "reception_client.h"
#include "resource.h"
#include "settings.h"

namespace {

constexpr std::size_t minimumTextBuffer = 256;

// Fills the combo box afresh and selects the last entry equal to "user".
// When none is, nothing is selected: OK then saves "user" as it is, and the
// dialog must not show a name it would not save. The settings are not touched.
void fillUserCombo(HWND dialog) {
  HWND combo = GetDlgItem(dialog, IDC_USER_COMBO);
  auto user = settingsMap.find(userKey);
  auto selection = static_cast<WPARAM>(-1);
  for (std::size_t index = 0; index < userList.size(); ++index) {
    const char* name = userList[index].c_str();
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    if (user != settingsMap.end() && std::strcmp(name, user->second.c_str()) == 0) selection = index;
  }
  SendMessageA(combo, CB_SETCURSEL, selection, 0);
}

// The text of entry index, sized from the entry itself so no name is cut.
bool comboEntryText(HWND combo, LRESULT index, std::string& text) {
  LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return false;
  std::string buffer(std::max(static_cast<std::size_t>(length) + 1, minimumTextBuffer), '\0');
  if (SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data())) ==
      CB_ERR) {
    return false;
  }
  text.assign(buffer.c_str());
  return true;
}

// A change to no selection leaves the watched user as it is.
void takeOverSelection(HWND combo) {
  if (combo == nullptr) return;
  LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  std::string name;
  if (!comboEntryText(combo, index, name)) return;
  settingsMap[userKey] = name;
}

void onCommand(HWND dialog, WPARAM wParam, LPARAM lParam) {
  WORD control = LOWORD(wParam);
  if (control == IDOK) {
    saveSettings(settingsFileName, settingsMap);
    EndDialog(dialog, IDOK);
  } else if (control == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
  }
  // NOLINTNEXTLINE(performance-no-int-to-ptr): WM_COMMAND carries the control's window in lParam
  if (HIWORD(wParam) == CBN_SELCHANGE) takeOverSelection(reinterpret_cast<HWND>(lParam));
}

}  // namespace

INT_PTR CALLBACK UserDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      fillUserCombo(dialog);
      return TRUE;  // the focus goes to OK, the default button and first tab stop
    case WM_COMMAND:
      onCommand(dialog, wParam, lParam);
      return TRUE;
    default:
      return FALSE;
  }
}
