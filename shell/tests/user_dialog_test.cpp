#include <gtest/gtest.h>

#include "reception_client.h"
#include "resource.h"
#include "settings.h"
#include "shell_test_support.h"

namespace {

struct Opening {
  std::vector<std::string> entries;
  LRESULT selection = CB_ERR;
  bool focusOnOk = false;
  INT_PTR result = 0;
};

// Opens the dialog, looks at the combo box as it was filled, and cancels.
Opening openAndLook() {
  Opening seen;
  DialogSession session = runUserDialog(nullptr, {[&seen](HWND dialog) {
                                                    seen.entries = comboEntries(dialog);
                                                    seen.selection = comboSelection(dialog);
                                                    seen.focusOnOk = GetFocus() == GetDlgItem(dialog, IDOK);
                                                  },
                                                  [](HWND dialog) { pressButton(dialog, IDCANCEL); }});
  EXPECT_FALSE(session.timedOut);
  seen.result = session.result;
  return seen;
}

class UserDialog : public ShellStateTest {
 protected:
  void SetUp() override {
    ShellStateTest::SetUp();
    userList = {"Ann Lee", "Bob Ray", "Cy Dee"};
  }
};

TEST_F(UserDialog, ListsUsersInOrderAndPreselectsTheExactMatch) {
  settingsMap[userKey] = "Bob Ray";
  Opening seen = openAndLook();
  EXPECT_EQ(seen.entries, (std::vector<std::string>{"Ann Lee", "Bob Ray", "Cy Dee"}));
  EXPECT_EQ(seen.selection, 1);
  EXPECT_TRUE(seen.focusOnOk);
  EXPECT_EQ(seen.result, IDCANCEL);

  // Case and spaces count; no match selects nothing (OK would save no name)
  // and keeps the setting.
  settingsMap[userKey] = "bob ray";
  EXPECT_EQ(openAndLook().selection, CB_ERR);
  settingsMap[userKey] = "Bob Ray ";
  EXPECT_EQ(openAndLook().selection, CB_ERR);
  EXPECT_EQ(settingsMap[userKey], "Bob Ray ");
}

TEST_F(UserDialog, WithoutASettingSelectsNothingAndInsertsNothing) {
  Opening seen = openAndLook();
  EXPECT_EQ(seen.selection, CB_ERR);
  EXPECT_EQ(settingsMap.count(userKey), 0u);
}

TEST_F(UserDialog, OfTwoEqualEntriesTheLaterIsSelected) {
  userList = {"Ann Lee", "Bob Ray", "Cy Dee", "Bob Ray"};
  settingsMap[userKey] = "Bob Ray";
  EXPECT_EQ(openAndLook().selection, 3);
}

TEST_F(UserDialog, AnEmptyUserListGivesAnEmptyComboWithoutSelection) {
  userList.clear();
  settingsMap[userKey] = "Bob Ray";
  Opening seen = openAndLook();
  EXPECT_TRUE(seen.entries.empty());
  EXPECT_EQ(seen.selection, CB_ERR);
}

TEST_F(UserDialog, SecondOpeningListsEveryNameOnce) {
  openAndLook();
  EXPECT_EQ(openAndLook().entries.size(), 3u);
}

TEST_F(UserDialog, SelectionChangeTakesEffectAtOnceAndCancelSavesNothing) {
  settingsMap[userKey] = "Ann Lee";
  std::string duringDialog;
  DialogSession session = runUserDialog(nullptr, {[&](HWND dialog) {
                                                    chooseEntry(dialog, 2);
                                                    duringDialog = settingsMap[userKey];
                                                  },
                                                  [](HWND dialog) { pressButton(dialog, IDCANCEL); }});
  EXPECT_FALSE(session.timedOut);
  EXPECT_EQ(session.result, IDCANCEL);
  EXPECT_EQ(duringDialog, "Cy Dee");
  EXPECT_EQ(settingsMap[userKey], "Cy Dee");
  EXPECT_FALSE(std::filesystem::exists("settings.conf"));
}

TEST_F(UserDialog, OkSavesTheChosenUserAndReturnsOne) {
  writeFileBytes("settings.conf", "user=Ann Lee\r\n");
  DialogSession session = runUserDialog(nullptr, {[](HWND dialog) { chooseEntry(dialog, 2); },
                                                  [](HWND dialog) { pressButton(dialog, IDOK); }});
  EXPECT_FALSE(session.timedOut);
  EXPECT_EQ(session.result, IDOK);
  EXPECT_EQ(readFileBytes("settings.conf"), "user=Cy Dee\r\n");
}

TEST_F(UserDialog, OkWithoutAPickSavesWhatTheDialogShowedUnchanged) {
  // The zip's sample "user=" and a name the service does not know alike: no
  // entry is shown selected, and OK saves the user as it was.
  for (const char* user : {"", "Zed Nobody"}) {
    settingsMap[userKey] = user;
    LRESULT shown = 0;
    DialogSession session = runUserDialog(nullptr, {[&shown](HWND dialog) {
                                                      shown = comboSelection(dialog);
                                                      pressButton(dialog, IDOK);
                                                    }});
    EXPECT_EQ(session.result, IDOK);
    EXPECT_EQ(shown, CB_ERR) << user;
    EXPECT_EQ(readFileBytes("settings.conf"), std::string("user=") + user + "\r\n");
  }
}

TEST_F(UserDialog, ChangeToNoSelectionKeepsTheUser) {
  settingsMap[userKey] = "Bob Ray";
  runUserDialog(nullptr, {[](HWND dialog) { chooseEntry(dialog, static_cast<WPARAM>(-1)); },
                          [](HWND dialog) { pressButton(dialog, IDCANCEL); }});
  EXPECT_EQ(settingsMap[userKey], "Bob Ray");
}

TEST_F(UserDialog, NamesLongerThanTheMinimumBufferArriveWhole) {
  std::string longName(600, 'x');
  longName += " Last";
  userList = {"Ann Lee", longName};
  runUserDialog(nullptr, {[](HWND dialog) { chooseEntry(dialog, 1); },
                          [](HWND dialog) { pressButton(dialog, IDCANCEL); }});
  EXPECT_EQ(settingsMap[userKey], longName);
}

}  // namespace
