// Guests announced to members of staff: the notifiers' polls and archive,
// the desk's board, reassigning, and the visitor log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/database.h"

struct NotificationRow {
  std::int64_t id = 0;
  std::int64_t staffId = 0;
  std::string hostName;  // the staff member's display name
  std::string headline;
  std::string detail;
  std::int64_t arrivedAt = 0;
  std::optional<std::int64_t> deliveredAt;
  std::optional<std::int64_t> archivedAt;
  std::string archivedBy;  // "host" (the notifier), "desk" or "reassigned"
  // Withdrawn or reassigned after delivery, and not yet closed by the host:
  // the notifier still shows the guest.
  bool stillOnScreen = false;
  // The guest's visit: "" and nullopt before visits were kept. The company
  // comes with every row; the rest is read for the visitor log only.
  std::string company;
  std::string checkInMethod;  // "desk", "kiosk" or "invitation"
  std::optional<std::int64_t> signedOutAt;
};

// notFound: no such active host; conflict: maxWaiting guests already wait for the host.
// insertNotification does it in the caller's transaction (a visit starts with it).
Outcome insertNotification(WriteTransaction& transaction, std::int64_t staffId, const std::string& headline,
                           const std::string& detail, int maxWaiting, NotificationRow& added);
Outcome addNotification(std::int64_t staffId, const std::string& headline, const std::string& detail, int maxWaiting,
                        NotificationRow& added);
// notFound for an unknown or already archived id.
Outcome archiveNotificationRow(std::int64_t id, const char* by);
// The host closed a guest's panel: archives it as "host" only when it was
// delivered to a notifier and is still waiting; notFound otherwise, and no
// guest's outcome changes (a guest never shown can only be withdrawn at the
// desk). Closing a guest the desk had withdrawn or reassigned is noted, so
// that the desk stops saying it is on the host's screen. shownAt: when a
// poll showed the guest, if that delivery is not yet written (it is, first).
Outcome archiveShownNotification(std::int64_t id, std::optional<std::int64_t> shownAt = std::nullopt);

// Unarchived notifications, and those archived since the given time, oldest first.
Outcome deskNotifications(std::int64_t archivedSince, std::vector<NotificationRow>& rows);
// The board's guests, oldest first: every waiting one, and the maxHandled
// archived most recently since archivedSince; moreHandled when older ones
// of that time were left out (the visitor log has them).
Outcome deskBoardRows(std::int64_t archivedSince, std::size_t maxHandled, std::vector<NotificationRow>& rows,
                      bool& moreHandled);
// When each waiting guest who was reassigned was announced to the present
// host (notification id -> time): their host has had the guest since then.
Outcome reassignedWaitingSince(std::map<std::int64_t, std::int64_t>& since);

// Reassigning, in the caller's transaction: the waiting guest (notFound when
// not waiting), the new host's name (notFound when not an active member),
// then the move: the old row archived as "reassigned", the same guest
// announced to the new host with the original arrival time.
Outcome waitingGuest(WriteTransaction& transaction, std::int64_t id, NotificationRow& guest);
// The same archive in the caller's transaction; notFound when not waiting.
Outcome archiveWaitingGuest(WriteTransaction& transaction, std::int64_t id, const char* by, const char* condition = "");
Outcome activeHostName(WriteTransaction& transaction, std::int64_t staffId, std::string& name);
Outcome moveGuest(WriteTransaction& transaction, const NotificationRow& guest, std::int64_t newStaffId,
                  NotificationRow& moved);

struct VisitorFilter {
  std::int64_t from = 0;  // arrivals at or after this time
  std::int64_t to = 0;    // and before this one
  std::string host;       // the host's "First Last"; "" for every host
  // A page's start: only guests after this one, in (arrival, id) order; none when afterId is 0.
  std::int64_t afterArrivedAt = 0;
  std::int64_t afterId = 0;
};

// The guests that arrived in the range, oldest first, at most limit of them.
Outcome visitorLog(const VisitorFilter& filter, std::size_t limit, std::vector<NotificationRow>& rows);

struct RetentionCount {
  std::int64_t guests = 0;
  std::int64_t staff = 0;
};

// Deletes the guests archived before cutoff, and the staff removed before it
// who no longer host any guest.
Outcome deleteExpiredRecords(std::int64_t cutoff, RetentionCount& count);
