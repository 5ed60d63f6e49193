#include "directory/ldap_reader.h"

#include <strings.h>

#include <ldap.h>

#include <chrono>
#include <algorithm>
#include <map>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;

// A search that never returns its last page stops here (5 million people).
constexpr int maxPages = 10000;

// Closes the connection however the read ends.
struct Connection {
  LDAP* handle = nullptr;
  ~Connection() {
    if (handle != nullptr) ldap_unbind_ext_s(handle, nullptr, nullptr);
  }
};

struct Message {
  LDAPMessage* message = nullptr;
  ~Message() { ldap_msgfree(message); }
};

struct Cookie {
  berval value{0, nullptr};
  ~Cookie() { ber_memfree(value.bv_val); }
  bool empty() const { return value.bv_len == 0; }
};

std::string failure(const char* what, int code) { return std::string(what) + ": " + ldap_err2string(code); }

// libldap's own text for the last error on the handle (a TLS certificate's
// fault, for example), when it has one.
std::string detail(LDAP* handle) {
  char* text = nullptr;
  std::string message;
  if (ldap_get_option(handle, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) == LDAP_OPT_SUCCESS && text != nullptr) {
    message = text;
    ldap_memfree(text);
  }
  return message.empty() ? "" : " (" + message + ")";
}

timeval secondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left < 1) left = 1;
  return timeval{static_cast<time_t>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
}

// The handle set up as the settings say (LDAPv3, no referrals, timeouts,
// the CA) and StartTLS done when asked: "" or what failed.
std::string open(const LdapSettings& settings, Connection& connection) {
  int code = ldap_initialize(&connection.handle, settings.url.c_str());
  if (code != LDAP_SUCCESS) return failure("the directory's URL is not usable", code);
  LDAP* handle = connection.handle;
  int version = LDAP_VERSION3;
  int demand = LDAP_OPT_X_TLS_DEMAND;
  int newContext = 0;
  timeval timeout{std::max(settings.timeoutSeconds, 1), 0};
  ldap_set_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(handle, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(handle, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  ldap_set_option(handle, LDAP_OPT_TIMEOUT, &timeout);
  ldap_set_option(handle, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
  if (!settings.caFile.empty()) ldap_set_option(handle, LDAP_OPT_X_TLS_CACERTFILE, settings.caFile.c_str());
  // The TLS options above take effect in a new context of this handle's own.
  code = ldap_set_option(handle, LDAP_OPT_X_TLS_NEWCTX, &newContext);
  if (code != LDAP_OPT_SUCCESS) return "the TLS settings (--ldap-ca-file) could not be used" + detail(handle);
  if (settings.startTls) {
    code = ldap_start_tls_s(handle, nullptr, nullptr);
    if (code != LDAP_SUCCESS) return failure("StartTLS with the directory failed", code) + detail(handle);
  }
  return "";
}

int simpleBind(LDAP* handle, const std::string& dn, const std::string& password) {
  berval secret{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  return ldap_sasl_bind_s(handle, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &secret, nullptr, nullptr,
                          nullptr);
}

// Whether a bind's result means the directory never judged the password:
// libldap's own codes (no connection, a time-out) are negative.
bool bindNotJudged(int code) { return code < 0 || code == LDAP_BUSY || code == LDAP_UNAVAILABLE; }

std::string connect(const LdapSettings& settings, Connection& connection) {
  std::string opened = open(settings, connection);
  if (!opened.empty()) return opened;
  int code = simpleBind(connection.handle, settings.bindDn, settings.password);
  if (code != LDAP_SUCCESS) return failure("the bind to the directory failed", code) + detail(connection.handle);
  return "";
}

// The attributes of an entry as the message holds them, with every value
// counted into bytes (attributes not asked for too: a server may send them).
std::vector<RawAttribute> attributesOf(LDAP* handle, LDAPMessage* entry, std::uint64_t& bytes) {
  std::vector<RawAttribute> attributes;
  BerElement* position = nullptr;
  for (char* name = ldap_first_attribute(handle, entry, &position); name != nullptr;
       name = ldap_next_attribute(handle, entry, position)) {
    RawAttribute attribute{name, {}};
    bytes += attribute.name.size();
    berval** found = ldap_get_values_len(handle, entry, name);
    for (berval** value = found; value != nullptr && *value != nullptr; ++value) {
      bytes += (*value)->bv_len;
      // The first value is all a sync reads; a little more than the limit shows it was passed.
      if (value == found) attribute.values.emplace_back((*value)->bv_val, std::min<ber_len_t>((*value)->bv_len, ldapMaxValueBytes + 1));
    }
    ldap_value_free_len(found);
    ldap_memfree(name);
    attributes.push_back(std::move(attribute));
  }
  ber_free(position, 0);
  return attributes;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

// What one read has taken so far, against its limits.
struct ReadBudget {
  std::size_t maxEntries = 0;
  std::size_t entries = 0;
  std::uint64_t bytes = 0;
};

std::string takeEntry(LDAP* handle, LDAPMessage* message, const std::string& loginAttribute, ReadBudget& budget,
                      std::vector<DirectoryEntry>& entries) {
  if (++budget.entries > budget.maxEntries) {
    return "the directory holds more than " + std::to_string(budget.maxEntries) +
           " entries under the base and filter (--ldap-max-entries)";
  }
  std::string dn;
  char* name = ldap_get_dn(handle, message);
  if (name != nullptr) dn = name;
  ldap_memfree(name);
  budget.bytes += dn.size();
  std::vector<RawAttribute> attributes = attributesOf(handle, message, budget.bytes);
  if (budget.bytes > ldapMaxReadBytes) {
    return "the directory sent more than " + std::to_string(ldapMaxReadBytes >> 20) + " MiB of entries";
  }
  entries.push_back(entryFromValues(dn, attributes, loginAttribute));
  return "";
}

// The end of one page: its result and the cookie for the next; "" or why not.
std::string readPageEnd(LDAP* handle, LDAPMessage* result, Cookie& cookie) {
  int code = LDAP_SUCCESS;
  LDAPControl** controls = nullptr;
  int parsed = ldap_parse_result(handle, result, &code, nullptr, nullptr, nullptr, &controls, 0);
  if (parsed != LDAP_SUCCESS) return failure("the directory's answer could not be read", parsed);
  if (code != LDAP_SUCCESS) {
    ldap_controls_free(controls);
    return failure("the directory's search failed", code);
  }
  ber_memfree(cookie.value.bv_val);
  cookie.value = berval{0, nullptr};
  // A server without paging answers once, without the control.
  LDAPControl* page = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
  ber_int_t estimate = 0;
  if (page != nullptr) parsed = ldap_parse_pageresponse_control(handle, page, &estimate, &cookie.value);
  ldap_controls_free(controls);
  return parsed == LDAP_SUCCESS ? "" : failure("the directory's page could not be read", parsed);
}

std::string timedOut(const LdapSettings& settings) {
  return "the directory's search took longer than " + std::to_string(settings.timeoutSeconds) + " s";
}

// One page, taken entry by entry as the messages arrive, so that no more
// than one entry's message is held before it is checked.
std::string searchPage(const LdapSettings& settings, LDAP* handle, Clock::time_point deadline, Cookie& cookie,
                       ReadBudget& budget, std::vector<DirectoryEntry>& entries) {
  // entryUUID is operational: it comes only when asked for by name.
  char* attributes[] = {const_cast<char*>("givenName"), const_cast<char*>("sn"), const_cast<char*>("mail"),
                        const_cast<char*>("entryUUID"), const_cast<char*>("objectGUID"),
                        const_cast<char*>(settings.loginAttribute.c_str()), nullptr};
  LDAPControl* pageControl = nullptr;
  int code = ldap_create_page_control(handle, ldapPageSize, &cookie.value, 0, &pageControl);
  if (code != LDAP_SUCCESS) return failure("the paged search could not be set up", code);
  LDAPControl* controls[] = {pageControl, nullptr};
  timeval left = secondsLeft(deadline);
  int id = 0;
  code = ldap_search_ext(handle, settings.base.c_str(), LDAP_SCOPE_SUBTREE, settings.filter.c_str(), attributes, 0,
                         controls, nullptr, &left, LDAP_NO_LIMIT, &id);
  ldap_control_free(pageControl);
  if (code != LDAP_SUCCESS) return failure("the directory's search failed", code) + detail(handle);
  for (;;) {
    if (Clock::now() >= deadline) return timedOut(settings);
    left = secondsLeft(deadline);
    Message message;
    int type = ldap_result(handle, id, LDAP_MSG_ONE, &left, &message.message);
    if (type == 0) return timedOut(settings);
    if (type < 0) {
      ldap_get_option(handle, LDAP_OPT_RESULT_CODE, &code);
      return failure("the directory's search failed", code) + detail(handle);
    }
    if (type == LDAP_RES_SEARCH_RESULT) return readPageEnd(handle, message.message, cookie);
    if (type != LDAP_RES_SEARCH_ENTRY) continue;  // a referral, not followed
    std::string error = takeEntry(handle, message.message, settings.loginAttribute, budget, entries);
    if (!error.empty()) return error;
  }
}

std::string search(const LdapSettings& settings, LDAP* handle, Clock::time_point deadline,
                   std::vector<DirectoryEntry>& entries) {
  // One message (an entry, a page's end) is far below this; a server
  // sending more is cut off by libldap before it is held.
  ber_len_t maxMessage = 1 << 20;
  Sockbuf* socket = nullptr;
  if (ldap_get_option(handle, LDAP_OPT_SOCKBUF, &socket) == LDAP_OPT_SUCCESS && socket != nullptr) {
    ber_sockbuf_ctrl(socket, LBER_SB_OPT_SET_MAX_INCOMING, &maxMessage);
  }
  ReadBudget budget{settings.maxEntries};
  Cookie cookie;
  for (int page = 0; page < maxPages; ++page) {
    std::string error = searchPage(settings, handle, deadline, cookie, budget, entries);
    if (!error.empty()) return error;
    if (cookie.empty()) return "";
  }
  return "the directory's search did not end after " + std::to_string(maxPages) + " pages";
}

}  // namespace

PasswordCheck checkDirectoryPassword(const LdapSettings& settings, const std::string& dn, const std::string& password) {
  if (settings.url.empty() || dn.empty() || password.empty()) return {PasswordCheck::refused, ""};
  Connection connection;
  std::string opened = open(settings, connection);
  if (!opened.empty()) return {PasswordCheck::unreachable, opened};
  int code = simpleBind(connection.handle, dn, password);
  if (code == LDAP_SUCCESS) return {PasswordCheck::accepted, ""};
  if (bindNotJudged(code)) return {PasswordCheck::unreachable, failure("the bind failed", code) + detail(connection.handle)};
  return {PasswordCheck::refused, ""};
}

std::string entryIdentity(const std::string& entryUuid, const std::string& objectGuid, const std::string& dn) {
  if (!entryUuid.empty()) return entryUuid;
  if (!objectGuid.empty()) return hex(objectGuid);
  return dn;
}

std::string readDirectory(const LdapSettings& settings, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(settings.timeoutSeconds);
  Connection connection;
  std::string error = connect(settings, connection);
  if (error.empty()) error = search(settings, connection.handle, deadline, entries);
  if (!error.empty()) entries.clear();
  return error;
}

namespace {

// The login attribute's first value, by its name in any case: servers answer
// with the schema's spelling (sAMAccountName, samaccountname).
std::string loginOf(const std::vector<RawAttribute>& attributes, const std::string& loginAttribute) {
  if (loginAttribute.empty()) return "";
  for (const RawAttribute& attribute : attributes) {
    if (!attribute.values.empty() && strcasecmp(attribute.name.c_str(), loginAttribute.c_str()) == 0) {
      return attribute.values.front().substr(0, ldapMaxValueBytes);
    }
  }
  return "";
}

}  // namespace

DirectoryEntry entryFromValues(const std::string& dn, const std::vector<RawAttribute>& attributes,
                               const std::string& loginAttribute) {
  std::map<std::string, std::string> first;
  std::string tooLong = dn.size() > ldapMaxValueBytes ? "the DN" : "";
  const std::set<std::string> read = {"givenName", "sn", "mail", "entryUUID", "objectGUID"};
  for (const RawAttribute& attribute : attributes) {
    if (attribute.values.empty() || read.count(attribute.name) == 0 || first.count(attribute.name) > 0) continue;
    const std::string& value = attribute.values.front();
    if (value.size() > ldapMaxValueBytes && tooLong.empty()) tooLong = attribute.name;
    first[attribute.name] = value.substr(0, ldapMaxValueBytes);
  }
  DirectoryEntry entry;
  entry.dn = dn.substr(0, ldapMaxValueBytes);
  entry.identity = entryIdentity(first["entryUUID"], first["objectGUID"], entry.dn);
  entry.firstName = first["givenName"];
  entry.lastName = first["sn"];
  auto mail = first.find("mail");
  if (mail != first.end()) entry.email = usableEmail(mail->second);
  entry.login = loginOf(attributes, loginAttribute);
  if (!tooLong.empty()) {
    entry.problem = "A value longer than " + std::to_string(ldapMaxValueBytes) + " bytes (" + tooLong + ").";
  }
  return entry;
}
