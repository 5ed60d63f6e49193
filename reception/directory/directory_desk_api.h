// The desk's directory panel (admin):
//   GET  directory-sync  the directory's settings in brief, the last sync and the last preview
//                        (kept in the database: the same on every instance)
//   POST directory-sync  {"dryRun": bool, "force": bool}: queues a sync on the
//                        directory's worker and answers 202 at once
#pragma once

#include "answer/desk_call.h"

HttpResponse directorySyncState(const DeskCall& call);
HttpResponse directorySyncRequest(const DeskCall& call);
