// The front desk's requests beyond the board, under /api/desk/ (routed, with
// the role each needs, by desk_api.cpp's table):
//   POST notifications/<id>/reassign  {"staffId"}: the guest goes to another host
//   POST staff/import                 {"csv", "apply"}: preview, or apply, a staff CSV (admin)
//   GET  staff.csv                    the staff directory as CSV (admin)
//   GET  visitors?from=&to=&host=     the visitor log (admin); times in ms since the epoch
//   GET  visitors.csv?from=&to=&host= the same as CSV (admin)
#pragma once

#include <cstdint>
#include <map>
#include <string_view>

#include <nlohmann/json.hpp>

#include "desk_call.h"
#include "http_server.h"
#include "storage.h"

HttpResponse reassignWaitingGuest(const DeskCall& call);
HttpResponse importStaffCsv(const DeskCall& call);
HttpResponse exportStaffCsv(const DeskCall& call);
HttpResponse visitorList(const DeskCall& call);
HttpResponse visitorListCsv(const DeskCall& call);

// The escalation thresholds and the retention in force, for the desk's state.
void addFrontDeskState(nlohmann::json& state);
// The row's escalation at now: "", "unseen" or "unacknowledged". A reassigned
// guest counts as unseen from when the present host was given the guest
// (reassignedSince, from reassignedWaitingSince), not from the arrival.
const char* escalationAt(const NotificationRow& row, std::int64_t now,
                         const std::map<std::int64_t, std::int64_t>& reassignedSince);

// Runs the retention once and logs what it deleted; called at start-up and daily.
void applyRetention();
