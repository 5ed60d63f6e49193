// A member of staff's contacts (email, push address) as a desk or a host sends them.
#pragma once

#include <string>
#include <string_view>

#include "rules/target_rule.h"
#include "store/staff.h"

// The contact members of a staff request body: a member absent leaves that
// field of contact as it was, "" or null clears it. "" or a message for the desk.
std::string parseStaffContact(std::string_view body, StaffContact& contact, const AlertTargetRule& rule);
