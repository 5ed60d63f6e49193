// Pure checks of what the front desk enters, and parsing of the desk API's
// JSON bodies. Every function returns an empty text when the input is
// accepted, otherwise a message meant for the receptionist.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "rules/target_rule.h"
#include "store/staff.h"
#include "text/code_page.h"

// Limits in characters. A notifier's request carries the watched name
// percent-encoded (up to three bytes per byte) in a request of at most 511
// bytes, and the panel has room for one line of each text.
constexpr std::size_t maxNamePartChars = 40;
constexpr std::size_t maxHeadlineChars = 60;
constexpr std::size_t maxDetailChars = 120;

struct StaffEntry {
  std::string firstName;
  std::string lastName;
};

struct GuestEntry {
  std::int64_t staffId = 0;
  std::string headline;  // the guest's name
  std::string detail;    // the receptionist's note
};

// A first or last name: words parted by single spaces, with apostrophes and
// hyphens as people write them; no "," "|" or "=", no control characters,
// at most maxNamePartChars, and representable in the notifiers' code page.
std::string checkNamePart(std::string_view label, std::string_view text, const std::string& codePage = defaultCodePage);
// A display line: no control characters, bounded, representable; "," and
// "|" only where their stand-ins are (see withSeparatorsStoodIn).
std::string checkLine(std::string_view label, std::string_view text, std::size_t maxChars, bool required,
                      const std::string& codePage = defaultCodePage);

// {"firstName": "José", "lastName": "Müller"} or {"name": "José Müller"}
// (the first word the first name). Trimmed, runs of spaces made one.
std::string parseStaffEntry(std::string_view body, StaffEntry& entry, const std::string& codePage = defaultCodePage);
// {"staffId": 3, "guestName": "Ada Lovelace", "note": "Meeting room 2"}.
std::string parseGuestEntry(std::string_view body, GuestEntry& entry, const std::string& codePage = defaultCodePage);

// A JSON object's string member as it is (not trimmed: passwords); false
// when it is absent or not a string.
bool exactStringMember(const nlohmann::json& object, const char* key, std::string& value);

// Parses body as a JSON object; "" or the message for the receptionist.
std::string parseObject(std::string_view body, nlohmann::json& object);

// A member of staff's contact fields: "" when acceptable (an empty text is:
// no contact), else a message for the desk. An email address is
// local@domain without spaces or control characters; a push address an
// http:// or https:// URL that names a host.
constexpr std::size_t maxEmailChars = 254;
constexpr std::size_t maxAlertUrlChars = 2048;
std::string checkEmail(std::string_view address);
std::string checkAlertUrl(std::string_view url);
// A contact as an alert target: the checks above, and a literal host (or an
// email domain literal) that the rule refuses; names are judged again at send time.
std::string checkPushAddress(std::string_view url, const AlertTargetRule& rule);
std::string checkContact(const StaffContact& contact, const AlertTargetRule& rule);
// A contact as logs and the board show it: an URL as scheme and host only
// (a user, password, path or query may be a secret), an email address as
// its domain.
std::string maskedTarget(std::string_view target);
// The host name of an URL ("[::1]" with its brackets), without user, password
// or port; "" for text that is no URL.
std::string urlHostName(std::string_view url);
