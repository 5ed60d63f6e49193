// The desk's side of alerts: staff contacts in the staff requests, and the
// alert state of each guest on the board.
//   PUT staff/<id>  admin: {"email", "alertUrl"}; an absent member is kept, "" or null clears it
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "desk/answers.h"
#include "store/outbox.h"

// The contact members of a staff request body: a member absent leaves that
// field of contact as it was, "" or null clears it. "" or a message for the desk.
std::string parseStaffContact(std::string_view body, StaffContact& contact);
void addContactJson(nlohmann::json& staff, const StaffContact& contact);

HttpResponse updateStaffContact(const DeskCall& call);

// Adds each staff member's contact to state["staff"], each guest's alerts
// (what was sent or tried, on which channel) to state["notifications"], and
// whether alerts can reach an offline host (email configured); the outcome
// of reading them.
Outcome addAlertDeskState(nlohmann::json& state, std::int64_t archivedSince, bool alertMail);
