#include <string>

#include <gtest/gtest.h>

#include "guest_tracker.h"
#include "loopback_server.h"
#include "reception_client.h"
#include "settings.h"
#include "test_support.h"

namespace {

std::int32_t fixedNow = 0;
std::int32_t fixedSecondsOfDay() { return fixedNow; }
std::int32_t at(int h, int m, int s) { return h * 3600 + m * 60 + s; }

class GuestTrackerTest : public WorkingDirectoryTest {
 protected:
  void SetUp() override {
    WorkingDirectoryTest::SetUp();
    resetGuestTracking();
    settingsMap.clear();
    localSecondsOfDay = fixedSecondsOfDay;
    fixedNow = at(10, 1, 5);
  }
  void TearDown() override {
    localSecondsOfDay = systemLocalSecondsOfDay;
    resetGuestTracking();
    settingsMap.clear();
    WorkingDirectoryTest::TearDown();
  }
  // Runs f with standard output captured and returns what it printed.
  template <typename F>
  static std::string printed(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  static std::string lastLine(const std::string& out) {
    std::size_t end = out.size() - 1;
    return out.substr(out.rfind('\n', end - 1) + 1);
  }
};

// One tick of the pure step, polling when due, with held standing for the
// list after the answer was merged in. True when the tick polled.
bool tick(GuestTracker& tracker, bool force, const NotificationList& held, std::int32_t now = at(10, 1, 5)) {
  bool polled = pollDue(tracker, force);
  advanceTick(tracker, polled, held, now);
  return polled;
}

// The service's answer merged into the held list, as a poll does it.
NotificationList merged(NotificationList held, const std::string& answer) {
  decodeNotifications(answer.c_str(), held);
  return held;
}

}  // namespace

TEST(GuestTracking, PollsOnStartupAndThenEveryTwelfthTick) {
  GuestTracker tracker;
  EXPECT_TRUE(tick(tracker, true, {}));
  for (int ticks = 1; ticks <= 11; ++ticks) EXPECT_FALSE(tick(tracker, false, {})) << "tick " << ticks;
  EXPECT_EQ(tracker.tickCounter, 11);
  EXPECT_TRUE(tick(tracker, false, {}));
  EXPECT_EQ(tracker.tickCounter, 0);
  // A forced call polls whatever the counter holds.
  EXPECT_FALSE(tick(tracker, false, {}));
  EXPECT_TRUE(tick(tracker, true, {}));
  EXPECT_EQ(tracker.tickCounter, 0);
}

TEST_F(GuestTrackerTest, FirstPollInsertsAnEmptyUserAndAsksForIt) {
  LoopbackServer server({{httpResponse("")}});
  serviceBaseUrl = server.baseUrl();
  std::string out = printed([] { pollTick(true); });
  ASSERT_EQ(settingsMap.count("user"), 1u);
  EXPECT_EQ(settingsMap["user"], "");
  EXPECT_NE(server.requests()[0].find("&fn=&ln= HTTP/1.0"), std::string::npos);
  EXPECT_EQ(lastLine(out), "0\n");
  EXPECT_FALSE(guestTracker.guestWaiting);

  settingsMap["user"] = "Ann Lee";
  printed([] { pollTick(true); });
  EXPECT_NE(server.requests()[1].find("&fn=Ann&ln=Lee HTTP/1.0"), std::string::npos);
}

TEST(GuestTracking, WaitingClockFromTheFirstArrival) {
  struct Case {
    const char* arrival;
    std::int32_t now, hours, minutes, seconds;
  } cases[] = {
      {"10|00|00", at(10, 1, 5), 0, 1, 5},
      {"09|00|00", at(10, 1, 5), 1, 1, 5},
      {"10|00|10", at(10, 0, 5), 0, 0, -5},
      // Waiting across midnight counts on from the evening before.
      {"23|59|00", at(0, 0, 30), 0, 1, 30},
      {"12|00|01", at(0, 0, 0), 11, 59, 59},
      // Exactly half a day ahead is still taken as skew.
      {"12|00|00", at(0, 0, 0), -12, 0, 0},
  };
  for (const Case& c : cases) {
    GuestTracker tracker;
    NotificationList held = merged({}, std::string("1|Guest|Lobby|") + c.arrival + ",2|Later|x|11|0|0");
    tick(tracker, true, held, c.now);
    EXPECT_EQ(held.size(), 2u);
    EXPECT_TRUE(tracker.guestWaiting);
    EXPECT_EQ(tracker.waitHours, c.hours) << c.arrival;
    EXPECT_EQ(tracker.waitMinutes, c.minutes) << c.arrival;
    EXPECT_EQ(tracker.waitSeconds, c.seconds) << c.arrival;
  }
}

TEST(GuestTracking, ClockRunsEveryTickOnlyWhileAGuestWaits) {
  GuestTracker tracker;
  NotificationList held = merged({}, "1|Guest|Lobby|10|0|0");
  EXPECT_TRUE(tick(tracker, true, held, at(10, 0, 1)));
  EXPECT_FALSE(tick(tracker, false, held, at(10, 0, 2)));
  EXPECT_EQ(tracker.waitSeconds, 2);

  // The service stops reporting it: the guest stays until dismissed, and the
  // clock keeps counting from the same arrival.
  tracker.tickCounter = 11;
  held = merged(held, "");
  EXPECT_TRUE(tick(tracker, false, held, at(10, 2, 0)));
  EXPECT_TRUE(tracker.guestWaiting);
  EXPECT_EQ(tracker.waitMinutes, 2);
  EXPECT_EQ(tracker.waitSeconds, 0);
}

TEST(GuestTracking, EmptyPollClearsTheFlagAndKeepsTheClock) {
  GuestTracker tracker;
  tick(tracker, true, merged({}, "1|Guest|Lobby|10|0|0"));
  // The guest was dismissed; the next poll finds nobody.
  std::int32_t minutes = tracker.waitMinutes, seconds = tracker.waitSeconds;
  tick(tracker, true, {}, at(12, 0, 0));
  EXPECT_FALSE(tracker.guestWaiting);
  EXPECT_EQ(tracker.waitMinutes, minutes);
  EXPECT_EQ(tracker.waitSeconds, seconds);
  // Unforced ticks without a guest leave the clock alone too.
  tick(tracker, false, {}, at(12, 0, 0));
  EXPECT_EQ(tracker.waitSeconds, seconds);
}

TEST_F(GuestTrackerTest, DismissArchivesTheFirstAndHidesThePanelUntilTheNextPoll) {
  LoopbackServer server({{httpResponse("a1|One|x|10|0|0,b2|Two|y|10|0|30")}, {httpResponse("1")}, {httpResponse("")}});
  serviceBaseUrl = server.baseUrl();
  printed([] { pollTick(true); });
  std::string out = printed([] { dismissFirst(); });
  EXPECT_EQ(lastLine(out), "-1 = 1\n");
  EXPECT_FALSE(guestTracker.guestWaiting);
  ASSERT_EQ(notificationList.size(), 1u);
  EXPECT_EQ(notificationList.front().id, "b2");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_NE(server.requests()[1].find("archiveNotification?key=m9pqzRWkfhT7031&id=a1 HTTP/1.0"), std::string::npos);

  // The next poll finds nothing new but shows the remaining guest, timed from its own arrival.
  printed([] { pollTick(true); });
  EXPECT_TRUE(guestTracker.guestWaiting);
  EXPECT_EQ(guestTracker.arrivalSecondsOfDay, at(10, 0, 30));
}

TEST_F(GuestTrackerTest, DismissOnAnEmptyListDoesNothing) {
  LoopbackServer server({{httpResponse("1")}});
  serviceBaseUrl = server.baseUrl();
  std::string out = printed([] { dismissFirst(); });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(server.requests().empty());
}

TEST(GuestTracking, HostileArrivalTimesDoNotOverflow) {
  GuestTracker tracker;
  tick(tracker, true, merged({}, "1|h|d|2147483647|2147483647|-2147483648"));
  EXPECT_TRUE(tracker.guestWaiting);
  // Arrival wraps to 2147479988 s; 10:01:05 minus that wraps to -2147443923,
  // which is more than half a day ahead, so a day is added: -2147357523 s.
  EXPECT_EQ(tracker.waitHours, -596488);
  EXPECT_EQ(tracker.waitMinutes, -12);
  EXPECT_EQ(tracker.waitSeconds, -3);
}
