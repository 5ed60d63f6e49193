#include "settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "guest_tracker.h"
#include "loopback_server.h"
#include "reception_client.h"
#include "settings_text.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

struct Loaded {
  SettingsMap settings;
  std::vector<std::string> echoLines;
};

Loaded parse(const std::string& bytes) {
  Loaded loaded;
  parseSettingsText(bytes, loaded.settings, loaded.echoLines);
  return loaded;
}

std::vector<std::string> filesIn(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Makes the save fail at one step for as long as it lives.
class FailingSaveStep {
 public:
  explicit FailingSaveStep(SaveStep step) { failSaveStepForTesting = step; }
  ~FailingSaveStep() { failSaveStepForTesting = SaveStep::none; }
  FailingSaveStep(const FailingSaveStep&) = delete;
  FailingSaveStep& operator=(const FailingSaveStep&) = delete;
};

const std::vector<SaveStep> everySaveStep = {SaveStep::openTemporary, SaveStep::write, SaveStep::flush,
                                             SaveStep::sync,          SaveStep::close, SaveStep::replace};

}  // namespace

// --- The loader ---

TEST(SettingsLoader, KeyIsUpToTheFirstEqualsAndValueUpToTheSecond) {
  Loaded plain = parse("user=John Smith\r\n");
  EXPECT_EQ(plain.settings, (SettingsMap{{"user", "John Smith"}}));
  EXPECT_EQ(plain.echoLines, (std::vector<std::string>{"user = John Smith\n"}));

  Loaded spaced = parse("user = John Smith\r\n");
  EXPECT_EQ(spaced.settings, (SettingsMap{{"user ", " John Smith"}}));
  EXPECT_EQ(spaced.echoLines, (std::vector<std::string>{"user  =  John Smith\n"}));

  EXPECT_EQ(parse("user=a=b\r\n").settings, (SettingsMap{{"user", "a"}}));
  EXPECT_EQ(parse("user==b\r\n").settings, (SettingsMap{{"user", ""}}));
  EXPECT_EQ(parse("=x\r\n").settings, (SettingsMap{{"", "x"}}));
}

TEST(SettingsLoader, FirstLineForAKeyWinsAndEveryLineIsEchoed) {
  Loaded loaded = parse("user=First One\r\nUser=X\r\nuser=Second One\r\n");
  EXPECT_EQ(loaded.settings, (SettingsMap{{"User", "X"}, {"user", "First One"}}));
  EXPECT_EQ(loaded.echoLines,
            (std::vector<std::string>{"user = First One\n", "User = X\n", "user = Second One\n"}));

  SettingsMap existing{{"user", "Kept"}};
  std::vector<std::string> echoLines;
  parseSettingsText("user=Loaded\r\nzeta=1", existing, echoLines);
  EXPECT_EQ(existing, (SettingsMap{{"user", "Kept"}, {"zeta", "1"}}));
  EXPECT_EQ(echoLines, (std::vector<std::string>{"user = Loaded\n", "zeta = 1\n"}));
}

TEST(SettingsLoader, CrLfAndLfLineEndsLoadTheSame) {
  Loaded crLf = parse("user=Ann Lee\r\nalpha=1\r\nlast=no line end");
  Loaded lf = parse("user=Ann Lee\nalpha=1\nlast=no line end");
  SettingsMap expected{{"alpha", "1"}, {"last", "no line end"}, {"user", "Ann Lee"}};
  EXPECT_EQ(crLf.settings, expected);
  EXPECT_EQ(lf.settings, expected);
  EXPECT_EQ(crLf.echoLines, lf.echoLines);
  // A final line end gives no further line.
  EXPECT_EQ(parse("user=Ann Lee\r\n").echoLines.size(), 1u);
}

TEST(SettingsLoader, CrNotDirectlyBeforeLfStaysInTheText) {
  EXPECT_EQ(parse("user=a\rb\r\n").settings, (SettingsMap{{"user", "a\rb"}}));
  EXPECT_EQ(parse("user=a\r\r\n").settings, (SettingsMap{{"user", "a\r"}}));
  EXPECT_EQ(parse("\ruser=a\n").settings, (SettingsMap{{"\ruser", "a"}}));
  EXPECT_EQ(parse("user=a\r").settings, (SettingsMap{{"user", "a\r"}}));  // CR at the end of the file
  EXPECT_EQ(parse("user=a\rnext=b\n").settings, (SettingsMap{{"user", "a\rnext"}}));
}

TEST(SettingsLoader, CtrlZEndsTheText) {
  EXPECT_EQ(parse("user=Ann Lee\r\n\x1A" "alpha=1\r\nbeta=2\r\n").settings, (SettingsMap{{"user", "Ann Lee"}}));
  Loaded midLine = parse("user=Ann\x1A" "Lee\r\nalpha=1\r\n");
  EXPECT_EQ(midLine.settings, (SettingsMap{{"user", "Ann"}}));
  EXPECT_EQ(midLine.echoLines, (std::vector<std::string>{"user = Ann\n"}));
  // The CR before the Ctrl-Z no longer has its LF, so it stays.
  EXPECT_EQ(parse("user=Ann\r\x1A\n").settings, (SettingsMap{{"user", "Ann\r"}}));
  EXPECT_TRUE(parse("\x1Auser=Ann\r\n").settings.empty());
}

TEST(SettingsLoader, ByteOrderMarkBecomesPartOfTheFirstKey) {
  Loaded loaded = parse("\xEF\xBB\xBFuser=Ann Lee\r\nuser=Bob Day\r\n");
  EXPECT_EQ(loaded.settings, (SettingsMap{{"\xEF\xBB\xBFuser", "Ann Lee"}, {"user", "Bob Day"}}));
}

TEST(SettingsLoader, NulEndsTheTextOfItsLineOnly) {
  Loaded loaded = parse("user=Ann\0Lee=x\r\nnext=1\r\n\0hidden=2\r\nalpha\0=3\nbeta=4"s);
  EXPECT_EQ(loaded.settings, (SettingsMap{{"beta", "4"}, {"next", "1"}, {"user", "Ann"}}));
  EXPECT_EQ(loaded.echoLines, (std::vector<std::string>{"user = Ann\n", "next = 1\n", "beta = 4\n"}));
}

TEST(SettingsLoader, LinesWithFewerThanTwoPieces) {
  // Empty lines and lines without "=" hold no setting: skipped, not echoed.
  // "key=" loads key with an empty value, as a save writes it.
  Loaded loaded = parse("\r\n\n\r\njust a key\r\nuser=\r\n=\r\nother=\nlast");
  EXPECT_EQ(loaded.settings, (SettingsMap{{"", ""}, {"other", ""}, {"user", ""}}));
  EXPECT_EQ(loaded.echoLines, (std::vector<std::string>{"user = \n", " = \n", "other = \n"}));
  EXPECT_TRUE(parse("").settings.empty());
  EXPECT_TRUE(parse("\r\n").echoLines.empty());
}

class LoadSettingsFile : public WorkingDirectoryTest {};

TEST_F(LoadSettingsFile, EchoesEachLoadedLineOnStandardOutput) {
  writeFileBytes("settings.conf", "user=Ann Lee\r\n\r\nzeta=1\r\nuser=Bob Day\r\n");
  SettingsMap settings{{"alpha", "kept"}};
  testing::internal::CaptureStdout();
  loadSettings("settings.conf", settings);
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output, "user = Ann Lee\nzeta = 1\nuser = Bob Day\n");
  EXPECT_EQ(settings, (SettingsMap{{"alpha", "kept"}, {"user", "Ann Lee"}, {"zeta", "1"}}));
}

TEST_F(LoadSettingsFile, MissingOrUnreadableFileChangesNothing) {
  std::filesystem::create_directory("folder.conf");
  SettingsMap settings{{"user", "Ann Lee"}};
  testing::internal::CaptureStdout();
  loadSettings("settings.conf", settings);
  loadSettings("folder.conf", settings);
  loadSettings("missing/settings.conf", settings);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(settings, (SettingsMap{{"user", "Ann Lee"}}));
}

// --- The order of keys ---

TEST(SettingsKeyOrder, BytewiseOnUnsignedBytesWithAPrefixFirst) {
  SettingsMap settings{{"user", "1"}, {"alpha", "2"}, {"Zeta", "3"}, {"User", "4"},
                       {"user2", "5"}, {"\xE9t\xE9", "6"}, {"~", "7"}, {"", "8"}};
  EXPECT_EQ(formatSettingsText(settings),
            "=8\r\nUser=4\r\nZeta=3\r\nalpha=2\r\nuser=1\r\nuser2=5\r\n~=7\r\n\xE9t\xE9=6\r\n");
}

TEST(SettingsKeyOrder, ALoadedFileIsWrittenBackSortedWithoutLaterDuplicates) {
  Loaded loaded = parse("user=a=b\r\nzeta=1\nUser=X\r\nalpha=\r\nuser=later\r\nnoise\r\n=x\r\n");
  EXPECT_EQ(formatSettingsText(loaded.settings), "=x\r\nUser=X\r\nalpha=\r\nuser=a\r\nzeta=1\r\n");
}

// --- The bytes of a save ---

class SaveSettingsBytes : public WorkingDirectoryTest {};

// The same expected bytes under both builds: Linux writes what a Windows
// text-mode file holds.
TEST_F(SaveSettingsBytes, WritesKeyEqualsValueAndCrLfPerEntry) {
  saveSettings("settings.conf", SettingsMap{{"user", "Ann Lee"}});
  EXPECT_EQ(readFileBytes("settings.conf"), "user=Ann Lee\r\n");

  saveSettings("settings.conf", SettingsMap{{"user", ""}, {"", "empty key"}, {"cr", "a\rb"}, {"lf", "a\nb"},
                                            {"bytes", "\x01\x7F\xFF"}});
  EXPECT_EQ(readFileBytes("settings.conf"), "=empty key\r\nbytes=\x01\x7F\xFF\r\ncr=a\rb\r\nlf=a\r\nb\r\nuser=\r\n");
  EXPECT_EQ(filesIn(directory_), std::vector<std::string>{"settings.conf"});
}

TEST_F(SaveSettingsBytes, EmptyMapLeavesAnEmptyFile) {
  saveSettings("settings.conf", SettingsMap{});
  ASSERT_TRUE(std::filesystem::exists("settings.conf"));
  EXPECT_EQ(readFileBytes("settings.conf"), "");

  writeFileBytes("settings.conf", "user=Ann Lee\r\nalpha=1\r\n");
  saveSettings("settings.conf", SettingsMap{});
  EXPECT_EQ(readFileBytes("settings.conf"), "");
}

TEST_F(SaveSettingsBytes, ReplacesALongerFileWhollyAndLoadsBackTheSameMap) {
  writeFileBytes("settings.conf", "user=A Much Longer Name Than Before\r\nalpha=1\r\nbeta=2\r\n");
  SettingsMap saved{{"user", "Ann Lee"}, {"User", "a\rb"}, {"", ""}, {"\xEF\xBB\xBF", "x"}};
  saveSettings("settings.conf", saved);
  EXPECT_EQ(readFileBytes("settings.conf"), "=\r\nUser=a\rb\r\nuser=Ann Lee\r\n\xEF\xBB\xBF=x\r\n");

  SettingsMap loaded;
  testing::internal::CaptureStdout();
  loadSettings("settings.conf", loaded);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(loaded, saved);
}

TEST_F(SaveSettingsBytes, SavesIntoAnotherDirectory) {
  std::filesystem::create_directory("profile");
  saveSettings("profile/settings.conf", SettingsMap{{"user", "Ann Lee"}});
  EXPECT_EQ(readFileBytes("profile/settings.conf"), "user=Ann Lee\r\n");
  EXPECT_EQ(filesIn("profile"), std::vector<std::string>{"settings.conf"});
}

// --- The atomic save ---

class AtomicSave : public WorkingDirectoryTest {};

TEST_F(AtomicSave, FailureAtAnyStepLeavesTheOldFileByteForByte) {
  const std::string oldBytes = "user=Old Name\r\nalpha=\rodd\x1A\nno line end";
  const SettingsMap newSettings{{"user", "Ann Lee"}, {"zeta", std::string(100000, 'z')}};
  for (SaveStep step : everySaveStep) {
    SCOPED_TRACE(static_cast<int>(step));
    writeFileBytes("settings.conf", oldBytes);
    {
      FailingSaveStep failing(step);
      saveSettings("settings.conf", newSettings);
    }
    EXPECT_EQ(readFileBytes("settings.conf"), oldBytes);
    EXPECT_EQ(filesIn(directory_), std::vector<std::string>{"settings.conf"});
  }
  // The same save without a failure goes through.
  saveSettings("settings.conf", newSettings);
  EXPECT_EQ(readFileBytes("settings.conf"), "user=Ann Lee\r\nzeta=" + std::string(100000, 'z') + "\r\n");
}

TEST_F(AtomicSave, FailureAtAnyStepWithoutAnOldFileLeavesNoFile) {
  for (SaveStep step : everySaveStep) {
    SCOPED_TRACE(static_cast<int>(step));
    FailingSaveStep failing(step);
    saveSettings("settings.conf", SettingsMap{{"user", "Ann Lee"}});
    EXPECT_TRUE(filesIn(directory_).empty());
  }
}

TEST_F(AtomicSave, SaveIntoAMissingDirectoryChangesNothing) {
  writeFileBytes("settings.conf", "user=Old Name\r\n");
  saveSettings("missing/settings.conf", SettingsMap{{"user", "Ann Lee"}});
  EXPECT_EQ(filesIn(directory_), std::vector<std::string>{"settings.conf"});
  EXPECT_EQ(readFileBytes("settings.conf"), "user=Old Name\r\n");
}

// A virus scanner or an indexer holds the file open for a moment; on
// Windows the replacement waits for it instead of failing.
TEST_F(AtomicSave, TargetHeldOpenForAMomentIsStillReplaced) {
  writeFileBytes("settings.conf", "user=Old Name\r\n");
  std::FILE* held = std::fopen("settings.conf", "rb");
  ASSERT_NE(held, nullptr);
  std::thread scanner([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::fclose(held);
  });
  saveSettings("settings.conf", SettingsMap{{"user", "Ann Lee"}});
  scanner.join();
  EXPECT_EQ(readFileBytes("settings.conf"), "user=Ann Lee\r\n");
  EXPECT_EQ(filesIn(directory_), std::vector<std::string>{"settings.conf"});
}

// --- The watched user in the poll cycle ---

class SettingsInThePollCycle : public WorkingDirectoryTest {
 protected:
  void SetUp() override {
    WorkingDirectoryTest::SetUp();
    settingsMap.clear();
    resetGuestTracking();
  }
  void TearDown() override {
    settingsMap.clear();
    resetGuestTracking();
    WorkingDirectoryTest::TearDown();
  }
};

TEST_F(SettingsInThePollCycle, FirstPollAsksForTheLoadedUser) {
  LoopbackServer server({{httpResponse("")}});
  ASSERT_TRUE(server.listening());
  serviceBaseUrl = server.baseUrl();
  writeFileBytes("settings.conf", "user=Ann Lee\r\n");
  testing::internal::CaptureStdout();
  loadSettings("settings.conf", settingsMap);
  pollTick(true);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("getNotification?"), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("&fn=Ann&ln=Lee "), std::string::npos) << requests[0];
}
