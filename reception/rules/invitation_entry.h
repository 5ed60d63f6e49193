// An invitation as the desk and the host's page enter it and read it back.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "store/invitations.h"

// The invitation in a JSON body (without its host); "" or the message for
// whoever typed it. The day must be a real date, today or later.
std::string parseInvitation(const nlohmann::json& object, const std::string& codePage, InvitationEntry& entry);
// {"id", "code", "hostId", "hostName", "guestName", "company", "guestEmail",
// "expectedOn", "expectedAt", "note", "state" (open, checked-in, cancelled), "visitId"}.
nlohmann::json invitationJson(const InvitationRow& row);

// "YYYY-MM-DD" of the local day of ms.
std::string localDate(std::int64_t ms);
// Whether text is a real date YYYY-MM-DD.
bool isDate(const std::string& text);
