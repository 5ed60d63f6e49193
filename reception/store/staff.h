// The service's records in one SQLite database: staff, notifications, and
// each staff member's last poll. One long-lived connection in WAL mode, used
// under a lock; every statement is prepared once and reused. A call returns
// only after its change is committed to disk, except a poll's time, which is
// saved in batches every few seconds and when the storage is closed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Milliseconds since the epoch; a seam so tests can move time.
extern std::int64_t (*currentTimeMs)();

struct StaffRow {
  std::int64_t id = 0;
  std::string firstName;
  std::string lastName;
  std::string displayName;
  std::optional<std::int64_t> lastPollAt;
};

struct NotificationRow {
  std::int64_t id = 0;
  std::int64_t staffId = 0;
  std::string hostName;  // the staff member's display name
  std::string headline;
  std::string detail;
  std::int64_t arrivedAt = 0;
  std::optional<std::int64_t> deliveredAt;
  std::optional<std::int64_t> archivedAt;
  std::string archivedBy;  // "host" (the notifier) or "desk"
};

// busy: refused while guests wait; databaseBusy: another process held the
// database past the write's wait (worth a retry); tooManyWaiting: the
// host's waiting guests are at maxWaitingPerHost; failed: a read or write
// error (logged, naming the operation).
enum class StoreResult { done, notFound, duplicate, busy, failed, databaseBusy, tooManyWaiting };

// Guests that may wait for one member of staff at once.
extern int maxWaitingPerHost;
// The Retry-After of an answer refused because the database was busy.
constexpr int databaseRetryAfterSeconds = 2;

// Opens (creating if needed) the database file; "" or an error message. A
// file that is not this service's database, or is damaged, is refused and
// left as it was.
std::string openStorage(const std::string& path);
// Saves the poll times not yet saved, then closes.
void closeStorage();

// Lists fill their vector and say done, or failed with the vector empty:
// a read error is never a shorter list.
StoreResult activeStaff(std::vector<StaffRow>& staff);
StoreResult addStaff(const std::string& firstName, const std::string& lastName, StaffRow& added);
// Refused with busy while guests are waiting for that member of staff.
StoreResult removeStaff(std::int64_t staffId);
// Adds the demo staff directory when there are no staff at all.
void seedDemoStaff();

// The active staff member with that first and last name.
StoreResult findStaff(const std::string& firstName, const std::string& lastName, std::int64_t& staffId);

// A notifier's poll: records the poll (in memory until the next batch),
// marks the unarchived notifications as delivered (the first time, on disk
// before it returns) and returns them, oldest first.
StoreResult pollNotifications(std::int64_t staffId, std::vector<NotificationRow>& waiting);
StoreResult addNotification(std::int64_t staffId, const std::string& headline, const std::string& detail,
                            NotificationRow& added);
// done when it archived; notFound for an unknown or already archived id.
StoreResult archiveNotificationRow(std::int64_t id, const char* by);

// Unarchived notifications, and those archived since the given time, oldest first.
StoreResult deskNotifications(std::int64_t archivedSince, std::vector<NotificationRow>& rows);
