#include "rules/validation.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "text/code_page.h"
#include "text/text.h"

namespace {

using nlohmann::json;

// Code points of well-formed UTF-8, one at a time with their bytes.
struct CodePoint {
  char32_t value;
  std::string_view bytes;
};

CodePoint nextCodePoint(std::string_view text, std::size_t at) {
  auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t value = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return {value, text.substr(at, length)};
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Whether a non-ASCII character's code-page bytes reach notifiers intact. In
// a double-byte code page a character's second byte can be "," or "|", where
// notifiers split their answers; and a name must convert back to itself, or
// the service cannot find it again by the name a notifier sends.
bool survivesNotifiers(const CodePoint& c, const std::string& converted, bool isName, const std::string& codePage) {
  if (c.value < 0x80) return true;
  if (converted.find_first_of(isName ? ",| =" : ",| ") != std::string::npos) return false;
  std::string back;
  return !isName || (fromCodePage(converted, back, codePage) && back == c.bytes);
}

// Whether the code page holds an ASCII character, remembered per code page:
// checking a few thousand imported names would otherwise open iconv for
// every letter.
bool asciiConverts(char32_t c, const std::string& codePage) {
  thread_local std::string knownFor;
  thread_local std::array<signed char, 0x80> known{};  // 0 unknown, 1 yes, -1 no
  if (knownFor != codePage) {
    knownFor = codePage;
    known.fill(0);
  }
  signed char& answer = known[c];
  if (answer == 0) {
    char byte = static_cast<char>(c);
    std::string converted;
    answer = toCodePage(std::string_view(&byte, 1), converted, codePage) ? 1 : -1;
  }
  return answer > 0;
}

bool convertsIntact(const CodePoint& c, bool isName, const std::string& codePage) {
  if (c.value < 0x80) return asciiConverts(c.value, codePage);
  std::string converted;
  return toCodePage(c.bytes, converted, codePage) && survivesNotifiers(c, converted, isName, codePage);
}

// A comma or bar in a line reaches notifiers as its stand-in, so that must
// reach them intact.
bool standInConverts(char32_t separator, const std::string& codePage) {
  std::string_view standIn = separator == ',' ? commaStandIn : barStandIn;
  return convertsIntact(CodePoint{separator == ',' ? U'\u201A' : U'\u00A6', standIn}, false, codePage);
}

// Rules of names alone: notifiers list names parted by ",", save the chosen
// one as "user=First Last" (reading a line only up to its second "=") and
// send back its first two words, parted by one plain space.
std::string checkNameCharacter(std::string_view label, char32_t c, bool afterSpace) {
  if (c == ',' || c == '|') return std::string(label) + " must not contain \",\" or \"|\".";
  if (c == 0xA0) return std::string(label) + " must not contain non-breaking spaces.";
  if (c == ' ' && afterSpace) return std::string(label) + " must not contain two spaces in a row.";
  if (c == '=') return std::string(label) + " must not contain \"=\".";
  return "";
}

// Checks common to names and lines; the first fault found, or "".
std::string checkCharacters(std::string_view label, std::string_view text, std::size_t maxChars, bool isName,
                            const std::string& codePage) {
  if (!isValidUtf8(text)) return std::string(label) + " is not valid UTF-8 text.";
  std::size_t count = 0;
  bool afterSpace = false;
  for (std::size_t at = 0; at < text.size(); ++count) {
    CodePoint c = nextCodePoint(text, at);
    at += c.bytes.size();
    if (isControl(c.value)) return std::string(label) + " must not contain control characters.";
    std::string problem = isName ? checkNameCharacter(label, c.value, afterSpace) : "";
    if (!problem.empty()) return problem;
    afterSpace = c.value == ' ';
    bool separator = c.value == ',' || c.value == '|';
    if (separator && !standInConverts(c.value, codePage)) {
      return std::string(label) + " must not contain \",\" or \"|\" for notifiers using the code page " + codePage + ".";
    }
    if (!separator && !convertsIntact(c, isName, codePage)) {
      return std::string(label) + " contains " + quoted(c.bytes) + ", which notifiers using the code page " +
             codePage + " cannot show.";
    }
  }
  if (count > maxChars) return std::string(label) + " is longer than " + std::to_string(maxChars) + " characters.";
  return "";
}

// A form's string member, trimmed, or "" when it is absent; false when it
// is present but not a string.
bool formStringMember(const json& object, const char* key, std::string& value) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    value.clear();
    return true;
  }
  if (!found->is_string()) return false;
  value = std::string(trimmed(found->get_ref<const std::string&>()));
  return true;
}

bool isControlOrSpace(unsigned char c) { return c <= 0x20 || c == 0x7F; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

bool exactStringMember(const json& object, const char* key, std::string& value) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return false;
  value = found->get<std::string>();
  return true;
}

std::string parseObject(std::string_view body, json& object) {
  object = json::parse(body.begin(), body.end(), nullptr, false);
  if (object.is_discarded()) return "The request body is not valid JSON.";
  if (!object.is_object()) return "The request body must be a JSON object.";
  return "";
}

std::string checkNamePart(std::string_view label, std::string_view text, const std::string& codePage) {
  if (text.empty()) return std::string(label) + " is missing.";
  return checkCharacters(label, text, maxNamePartChars, true, codePage);
}

std::string checkLine(std::string_view label, std::string_view text, std::size_t maxChars, bool required,
                      const std::string& codePage) {
  if (required && text.empty()) return std::string(label) + " is missing.";
  return checkCharacters(label, text, maxChars, false, codePage);
}

std::string parseStaffEntry(std::string_view body, StaffEntry& entry, const std::string& codePage) {
  json object;
  std::string error = parseObject(body, object);
  if (!error.empty()) return error;
  std::string name;
  if (!formStringMember(object, "name", name) || !formStringMember(object, "firstName", entry.firstName) ||
      !formStringMember(object, "lastName", entry.lastName)) {
    return "Names must be JSON strings.";
  }
  entry.firstName = collapsedSpaces(entry.firstName);
  entry.lastName = collapsedSpaces(entry.lastName);
  if (!name.empty()) {
    // One line of text: the first word is the first name, the rest the last name.
    name = collapsedSpaces(name);
    std::size_t space = name.find(' ');
    if (space == std::string::npos) return "The name must be a first and a last name separated by a space.";
    entry.firstName = name.substr(0, space);
    entry.lastName = name.substr(space + 1);
  }
  error = checkNamePart("The first name", entry.firstName, codePage);
  if (error.empty()) error = checkNamePart("The last name", entry.lastName, codePage);
  return error;
}

std::string parseGuestEntry(std::string_view body, GuestEntry& entry, const std::string& codePage) {
  json object;
  std::string error = parseObject(body, object);
  if (!error.empty()) return error;
  auto staff = object.find("staffId");
  if (staff == object.end() || !staff->is_number_integer() || staff->get<std::int64_t>() <= 0) {
    return "Choose the member of staff the guest is here to see.";
  }
  entry.staffId = staff->get<std::int64_t>();
  if (!formStringMember(object, "guestName", entry.headline) || !formStringMember(object, "note", entry.detail)) {
    return "The guest's name and the note must be JSON strings.";
  }
  error = checkLine("The guest's name", entry.headline, maxHeadlineChars, true, codePage);
  if (error.empty()) error = checkLine("The note", entry.detail, maxDetailChars, false, codePage);
  return error;
}

std::string checkEmail(std::string_view address) {
  if (address.empty()) return "";
  if (address.size() > maxEmailChars) return "The email address is longer than 254 characters.";
  if (std::any_of(address.begin(), address.end(), [](char c) { return isControlOrSpace(static_cast<unsigned char>(c)); })) {
    return "The email address must not contain spaces or control characters.";
  }
  std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
      address.find('@') != at || address.find_first_of("<>,;\"") != std::string_view::npos) {
    return "The email address must look like name@example.com.";
  }
  return "";
}

std::string checkAlertUrl(std::string_view url) {
  if (url.empty()) return "";
  if (url.size() > maxAlertUrlChars) return "The push address is longer than 2,048 characters.";
  if (std::any_of(url.begin(), url.end(), [](char c) { return isControlOrSpace(static_cast<unsigned char>(c)); })) {
    return "The push address must not contain spaces or control characters.";
  }
  std::string_view rest;
  if (startsWith(url, "https://")) {
    rest = url.substr(8);
  } else if (startsWith(url, "http://")) {
    rest = url.substr(7);
  } else {
    return "The push address must start with http:// or https://.";
  }
  std::size_t hostEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, hostEnd);
  if (authority.empty() || authority.back() == '@' || authority.front() == ':') {
    return "The push address must name a host.";
  }
  return "";
}

namespace {

// The host and port of an URL checkAlertUrl accepted.
void urlHostAndPort(std::string_view url, std::string_view& host, std::uint16_t& port) {
  bool https = startsWith(url, "https://");
  std::string_view rest = url.substr(https ? 8 : 7);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::size_t user = authority.rfind('@');
  if (user != std::string_view::npos) authority.remove_prefix(user + 1);
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && authority.find(']', colon) != std::string_view::npos) colon = std::string_view::npos;
  host = authority.substr(0, colon);
  port = https ? 443 : 80;
  if (colon == std::string_view::npos) return;
  std::int64_t number = 0;
  if (parseDecimal(authority.substr(colon + 1), 5, number) && number <= 65535) port = static_cast<std::uint16_t>(number);
}

std::string refusedTarget(const char* what, const std::string& why) {
  return std::string(what) + " cannot be used for alerts: " + why + ".";
}

}  // namespace

std::string checkPushAddress(std::string_view url, const AlertTargetRule& rule) {
  std::string problem = checkAlertUrl(url);
  if (!problem.empty() || url.empty()) return problem;
  std::string_view host;
  std::uint16_t port = 0;
  urlHostAndPort(url, host, port);
  std::string refused = refusedHost(host, port, rule);
  return refused.empty() ? "" : refusedTarget("The push address", refused);
}

std::string checkContact(const StaffContact& contact, const AlertTargetRule& rule) {
  std::string problem = checkEmail(contact.email);
  if (!problem.empty()) return problem;
  // A domain literal ("name@[10.0.0.1]") is delivered by the mail server to that address.
  std::size_t at = contact.email.rfind('@');
  std::string_view domain = at == std::string::npos ? std::string_view() : std::string_view(contact.email).substr(at + 1);
  if (startsWith(domain, "[")) {
    std::string_view literal = domain.substr(startsWith(domain, "[IPv6:") ? 6 : 1);
    std::string refused = refusedHost(literal.substr(0, literal.find(']')), 25, rule);
    if (!refused.empty()) return refusedTarget("The email address", refused);
  }
  return checkPushAddress(contact.alertUrl, rule);
}

namespace {

// The host and port of an URL, without any user and password; "" without "://".
std::string_view authorityOf(std::string_view url) {
  std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::size_t user = authority.rfind('@');
  if (user != std::string_view::npos) authority.remove_prefix(user + 1);
  return authority;
}

}  // namespace

std::string maskedTarget(std::string_view target) {
  std::size_t scheme = target.find("://");
  if (scheme == std::string_view::npos) {
    std::size_t at = target.rfind('@');
    return at == std::string_view::npos ? std::string("…") : "…" + std::string(target.substr(at));
  }
  return std::string(target.substr(0, scheme + 3)) + std::string(authorityOf(target));
}

std::string urlHostName(std::string_view url) {
  std::string_view authority = authorityOf(url);
  if (!authority.empty() && authority.front() == '[') return std::string(authority.substr(0, authority.find(']') + 1));
  return std::string(authority.substr(0, authority.find(':')));
}
