// The front desk's records beyond announcing and withdrawing: reassigning a
// waiting guest, importing the staff directory, the visitor log and the
// deletion of expired records. Uses the connection of database.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "staff_import.h"
#include "storage.h"

// Adds this file's column and indexes when missing; called from the
// storage's configure. False on an error (SQLite's message is then current).
bool addFrontDeskSchema();

enum class ReassignResult { done, guestNotWaiting, hostNotFound, sameHost, failed };

// In one transaction: archives the waiting notification as "reassigned" and
// announces the same guest, with the original arrival time, to the new host.
ReassignResult reassignGuest(std::int64_t notificationId, std::int64_t newStaffId, NotificationRow& added);

// When each waiting guest who was reassigned was announced to the present
// host (notification id -> time): their host has had the guest since then.
std::map<std::int64_t, std::int64_t> reassignedWaitingSince();

// What importing csv would change now; nothing is written.
ImportPreview previewStaffImportNow(std::string_view csv);
// Adds preview.added in one transaction (the preview is made inside it);
// false when that could not be saved, and then nothing was added.
bool applyStaffImport(std::string_view csv, ImportPreview& preview);

struct VisitorFilter {
  std::int64_t from = 0;  // arrivals at or after this time
  std::int64_t to = 0;    // and before this one
  std::string host;       // the host's "First Last"; "" for every host
};

// The guests that arrived in the range, oldest first, at most limit of them.
std::vector<NotificationRow> visitorLog(const VisitorFilter& filter, std::size_t limit);

struct RetentionCount {
  std::int64_t guests = 0;
  std::int64_t staff = 0;
};

// Deletes the guests archived before cutoff, and the staff removed before it
// who no longer host any guest; the counts, or nothing when that failed.
std::optional<RetentionCount> deleteExpiredRecords(std::int64_t cutoff);
