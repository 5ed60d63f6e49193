// The directory sync's marks and last results, kept in the database so that
// every instance on it shows the desk the same panel and at most one sync
// request waits at a time across them (directory/directory_worker.h runs
// the syncs). Rows by slot: "queued" and "running" marks with the instance
// that set them, who asked and when; "last-sync" and "last-preview" with the
// result as JSON text, as the directory room renders it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store/database.h"

// A mark older than this was left by an instance that stopped without
// clearing it, and no longer counts. A sync's read of the directory gives up
// after 60 s and its plan and transaction take seconds, so five times the
// read's bound is far past any sync still under way, yet a killed instance
// holds up the panel for minutes at most.
constexpr std::int64_t directorySyncMarkLifetimeMs = std::int64_t{5} * 60 * 1000;

struct DirectorySyncMark {
  std::string instance;  // the token of the instance that set it
  std::string account;   // who asked: a desk account or "(scheduled)"
  std::int64_t at = 0;
};

struct StoredDirectorySyncState {
  std::optional<DirectorySyncMark> queued;   // only a mark that still counts
  std::optional<DirectorySyncMark> running;  // likewise
  std::string lastSync;                      // JSON text; "" for none yet
  std::string lastPreview;
};

Outcome readDirectorySyncState(std::int64_t now, StoredDirectorySyncState& state);
// Marks a requested sync as waiting, in one transaction with the check:
// conflict while another request's mark counts, on whichever instance.
Outcome queueDirectorySync(const std::string& instance, const std::string& account, std::int64_t now);
// Marks a sync of this instance as running and clears its own queued mark
// (fromQueue); conflict, changing nothing, while another instance's running
// mark counts: syncs run one at a time across the instances.
Outcome startDirectorySync(const std::string& instance, const std::string& account, bool fromQueue, std::int64_t now);
// Keeps a sync's result (preview: a dry run's) and clears this instance's
// running mark, whatever the result was.
Outcome finishDirectorySync(const std::string& instance, const std::string& account, bool preview,
                            const std::string& resultJson, std::int64_t at);
// Clears this instance's marks: a request it will not run (it stops).
Outcome clearDirectorySyncMarks(const std::string& instance);
