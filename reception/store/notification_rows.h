// Reading notification rows, shared by the queries of each concern that
// lists guests (the board, the notifiers' polls, the visitor log).
#pragma once

#include "database.h"
#include "storage.h"

// The columns notificationFromRow reads, with the host's name, ready for a
// WHERE clause: "... FROM notification n JOIN staff s ON s.id = n.staff_id ".
extern const char* const selectNotification;
NotificationRow notificationFromRow(const Use& row);
