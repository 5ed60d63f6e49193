// A settings save killed with SIGKILL at random moments, over and over: the
// file must always be the whole old or the whole new content.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "settings.h"
#include "settings_text.h"
#include "test_support.h"

namespace {

constexpr int kills = 1000;
const char settingsFile[] = "settings.conf";

using Clock = std::chrono::steady_clock;

// A map of 1 to 400 entries of printable bytes, code-page bytes included, so
// the file is from a few bytes to some tens of kilobytes.
SettingsMap randomSettings(std::mt19937& random) {
  SettingsMap settings{{"user", "Ann Lee"}};
  std::uniform_int_distribution<int> entries(0, 400), length(0, 60), byte(0x20, 0xFF);
  for (int i = entries(random); i > 0; --i) {
    std::string key = "k" + std::to_string(i), value;
    for (int n = length(random); n > 0; --n) {
      char c = static_cast<char>(byte(random));
      value += c == '=' ? '-' : c;
    }
    settings[key] = value;
  }
  return settings;
}

// Saves the two maps in turn until killed; bounded in case the kill never comes.
[[noreturn]] void saveForever(const SettingsMap& first, const SettingsMap& second) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  for (int i = 0; Clock::now() < deadline; ++i) saveSettings(settingsFile, i % 2 == 0 ? first : second);
  _exit(0);
}

// Temporary files a killed save left next to the settings file; removed.
int removeLeftovers(const std::filesystem::path& directory) {
  int removed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename() != settingsFile) removed += std::filesystem::remove(entry.path()) ? 1 : 0;
  }
  return removed;
}

double secondsPerSave(const SettingsMap& settings) {
  constexpr int saves = 20;
  auto start = Clock::now();
  for (int i = 0; i < saves; ++i) saveSettings(settingsFile, settings);
  return std::chrono::duration<double>(Clock::now() - start).count() / saves;
}

class SettingsKillTest : public WorkingDirectoryTest {};

}  // namespace

TEST_F(SettingsKillTest, SaveKilledAtRandomMomentsLeavesTheOldOrTheNewFileWhole) {
  std::mt19937 random(20240611);
  // Kills are spread over about three saves, so they land before, inside and
  // between saves, the very first instants of the child included.
  double window = 3 * secondsPerSave(randomSettings(random));
  std::uniform_real_distribution<double> delay(0, window);
  int insideASave = 0, finishedBeforeTheKill = 0;

  for (int round = 0; round < kills; ++round) {
    SettingsMap oldSettings = randomSettings(random);
    SettingsMap newSettings = randomSettings(random);
    newSettings["round"] = std::to_string(round);  // never the same as the old
    std::string oldBytes = formatSettingsText(oldSettings);
    std::string newBytes = formatSettingsText(newSettings);
    saveSettings(settingsFile, oldSettings);
    ASSERT_EQ(readFileBytes(settingsFile), oldBytes);

    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) saveForever(newSettings, oldSettings);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finishedBeforeTheKill += WIFEXITED(status) ? 1 : 0;

    ASSERT_TRUE(std::filesystem::exists(settingsFile)) << "missing after kill " << round;
    std::string bytes = readFileBytes(settingsFile);
    ASSERT_TRUE(bytes == oldBytes || bytes == newBytes)
        << "kill " << round << " left " << bytes.size() << " bytes; old " << oldBytes.size() << ", new "
        << newBytes.size();
    insideASave += removeLeftovers(directory_) > 0 ? 1 : 0;
  }
  std::printf("%d kills, %d of them inside a save (a temporary file was left), window %.2f ms\n", kills,
              insideASave, window * 1000);
  EXPECT_EQ(finishedBeforeTheKill, 0);
  // Else the kills did not test what they are for.
  EXPECT_GE(insideASave, kills / 4);
}
