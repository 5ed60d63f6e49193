// The running service's directory syncs: every --ldap-sync-minutes and on
// the desk's request, one at a time on a thread of their own, never on the
// HTTP server's threads. Their marks (queued, running) and last results are
// kept in the database (store/directory_sync_state.h), so that instances
// sharing it show the same state and run one sync at a time between them.
#pragma once

#include "directory/directory_options.h"
#include "directory/directory_sync.h"

struct DirectoryWorkerSettings {
  bool configured = false;  // a directory is set (--ldap-url)
  long long syncMinutes = 0;
};

// Starts the thread when options name a directory (its options are
// checked by then); otherwise the worker stays unconfigured. With
// syncMinutes, the first sync is at once.
void startDirectoryWorker(const DirectoryOptions& options);
// Waits for a sync in progress (bounded by the read's time-out), then ends
// the thread, clearing this instance's marks: a request it took and had not
// begun is dropped.
void stopDirectoryWorker();

// A request is refused (alreadyQueued) while another waits on any instance;
// one made while a sync runs waits for it. The instance that took it runs it.
// busy, failed: the database could not mark it (nothing was queued).
enum class SyncQueued { queued, notConfigured, alreadyQueued, busy, failed };
SyncQueued requestDirectorySync(const SyncRequest& request);
DirectoryWorkerSettings directoryWorkerSettings();
