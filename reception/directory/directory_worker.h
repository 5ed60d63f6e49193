// The running service's directory syncs: every --ldap-sync-minutes and on
// the desk's request, one at a time on a thread of their own, never on the
// HTTP server's threads. Its state lives here and nowhere else.
#pragma once

#include <optional>

#include "directory/directory_options.h"
#include "directory/directory_sync.h"

struct DirectoryWorkerState {
  bool configured = false;  // a directory is set (--ldap-url)
  long long syncMinutes = 0;
  bool running = false;  // a sync is in progress
  bool queued = false;   // a requested sync waits for it
  std::optional<DirectorySyncResult> lastSync;     // the last sync that was not a dry run
  std::optional<DirectorySyncResult> lastPreview;  // the last dry run
};

// Starts the thread when options name a directory (its options are
// checked by then); otherwise the worker stays unconfigured. With
// syncMinutes, the first sync is at once.
void startDirectoryWorker(const DirectoryOptions& options);
// Waits for a sync in progress (bounded by the read's time-out), then ends the thread.
void stopDirectoryWorker();

enum class SyncQueued { queued, notConfigured, alreadyQueued };
SyncQueued requestDirectorySync(const SyncRequest& request);
DirectoryWorkerState directoryWorkerState();
