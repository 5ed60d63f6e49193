#include "directory/ldap_reader.h"

#include <strings.h>

#include <ldap.h>

#include <chrono>
#include <map>

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

std::string connect(const LdapSettings& settings, Connection& connection) {
  int code = ldap_initialize(&connection.handle, settings.url.c_str());
  if (code != LDAP_SUCCESS) return failure("the directory's URL is not usable", code);
  LDAP* handle = connection.handle;
  int version = LDAP_VERSION3;
  int demand = LDAP_OPT_X_TLS_DEMAND;
  int newContext = 0;
  timeval timeout{settings.timeoutSeconds, 0};
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
  berval password{settings.password.size(), const_cast<char*>(settings.password.data())};
  code = ldap_sasl_bind_s(handle, settings.bindDn.empty() ? nullptr : settings.bindDn.c_str(), LDAP_SASL_SIMPLE,
                          &password, nullptr, nullptr, nullptr);
  if (code != LDAP_SUCCESS) return failure("the bind to the directory failed", code) + detail(handle);
  return "";
}

// The first value of each attribute asked for.
std::map<std::string, std::string> firstValues(LDAP* handle, LDAPMessage* entry) {
  std::map<std::string, std::string> values;
  BerElement* position = nullptr;
  for (char* name = ldap_first_attribute(handle, entry, &position); name != nullptr;
       name = ldap_next_attribute(handle, entry, position)) {
    berval** found = ldap_get_values_len(handle, entry, name);
    if (found != nullptr && found[0] != nullptr) values[name] = std::string(found[0]->bv_val, found[0]->bv_len);
    ldap_value_free_len(found);
    ldap_memfree(name);
  }
  ber_free(position, 0);
  return values;
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

// An attribute's first value by its name in any case: servers answer with the schema's spelling.
std::string valueOf(const std::map<std::string, std::string>& values, const std::string& name) {
  for (const auto& [key, value] : values) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

DirectoryEntry entryOf(LDAP* handle, LDAPMessage* message, const std::string& loginAttribute) {
  DirectoryEntry entry;
  char* dn = ldap_get_dn(handle, message);
  if (dn != nullptr) entry.dn = dn;
  ldap_memfree(dn);
  std::map<std::string, std::string> values = firstValues(handle, message);
  entry.identity = entryIdentity(values["entryUUID"], values["objectGUID"], entry.dn);
  entry.firstName = values["givenName"];
  entry.lastName = values["sn"];
  auto mail = values.find("mail");
  if (mail != values.end()) entry.email = usableEmail(mail->second);
  if (!loginAttribute.empty()) entry.login = valueOf(values, loginAttribute);
  return entry;
}

// Reads one page's entries and the cookie for the next; "" or why not.
std::string readPage(LDAP* handle, LDAPMessage* result, Cookie& cookie, std::vector<DirectoryEntry>& entries,
                     const std::string& loginAttribute) {
  for (LDAPMessage* entry = ldap_first_entry(handle, result); entry != nullptr; entry = ldap_next_entry(handle, entry)) {
    entries.push_back(entryOf(handle, entry, loginAttribute));
  }
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

std::string search(const LdapSettings& settings, LDAP* handle, Clock::time_point deadline,
                   std::vector<DirectoryEntry>& entries) {
  // entryUUID is operational: it comes only when asked for by name.
  char* attributes[] = {const_cast<char*>("givenName"), const_cast<char*>("sn"), const_cast<char*>("mail"),
                        const_cast<char*>("entryUUID"), const_cast<char*>("objectGUID"),
                        const_cast<char*>(settings.loginAttribute.c_str()), nullptr};
  Cookie cookie;
  for (int page = 0; page < maxPages; ++page) {
    LDAPControl* pageControl = nullptr;
    int code = ldap_create_page_control(handle, ldapPageSize, &cookie.value, 0, &pageControl);
    if (code != LDAP_SUCCESS) return failure("the paged search could not be set up", code);
    LDAPControl* controls[] = {pageControl, nullptr};
    timeval left = secondsLeft(deadline);
    Message result;
    code = ldap_search_ext_s(handle, settings.base.c_str(), LDAP_SCOPE_SUBTREE, settings.filter.c_str(), attributes, 0,
                             controls, nullptr, &left, LDAP_NO_LIMIT, &result.message);
    ldap_control_free(pageControl);
    if (code != LDAP_SUCCESS) return failure("the directory's search failed", code) + detail(handle);
    std::string error = readPage(handle, result.message, cookie, entries, settings.loginAttribute);
    if (!error.empty()) return error;
    if (cookie.empty()) return "";
    if (Clock::now() >= deadline) return "the directory's search took longer than " + std::to_string(settings.timeoutSeconds) + " s";
  }
  return "the directory's search did not end after " + std::to_string(maxPages) + " pages";
}

}  // namespace

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
