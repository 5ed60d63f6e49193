// The desk's side of alerts: staff contacts in the staff requests, and the
// alert state of each guest on the board.
//   PUT staff/<id>  admin: {"email", "alertUrl"}; an absent member is kept, "" or null clears it
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "desk/answers.h"
#include "rules/staff_contact.h"
#include "store/outbox.h"

// masked: as the logs show them (scheme and host, the email's domain), for
// desk-role accounts, who send no alerts and need not read a push URL's secrets.
void addContactJson(nlohmann::json& staff, const StaffContact& contact, bool masked = false);

HttpResponse updateStaffContact(const DeskCall& call);

// Adds each staff member's contact (masked for a desk-role account) to
// state["staff"], the alerts of each guest listed (what was sent or tried,
// on which channel) to state["notifications"], and whether alerts can reach
// an offline host (email configured); the outcome of reading them.
Outcome addAlertDeskState(nlohmann::json& state, bool alertMail, bool maskContacts);
