#include "service_location.h"

#include "reception_client.h"

#ifndef VESTIBRA_SERVICE_HOST
#define VESTIBRA_SERVICE_HOST "localhost"
#endif

namespace {

constexpr std::size_t maxHostLength = 253;  // the longest DNS name
constexpr std::size_t maxKeyLength = 128;

bool isAsciiAlphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

template <typename Allowed>
bool isNonEmptyRun(std::string_view text, std::size_t maxLength, Allowed allowed) {
  if (text.empty() || text.size() > maxLength) return false;
  for (char c : text) {
    if (!isAsciiAlphanumeric(c) && !allowed(c)) return false;
  }
  return true;
}

template <typename Valid>
const std::string& firstValid(const std::optional<std::string>& policy, const std::optional<std::string>& user,
                              const std::string& compiled, Valid valid) {
  if (policy && valid(*policy)) return *policy;
  if (user && valid(*user)) return *user;
  return compiled;
}

}  // namespace

bool isServiceHost(std::string_view host) {
  return isNonEmptyRun(host, maxHostLength, [](char c) { return c == '.' || c == '-'; });
}

bool isAccessKey(std::string_view key) {
  return isNonEmptyRun(key, maxKeyLength, [](char c) { return c == '-' || c == '.' || c == '_' || c == '~'; });
}

ServiceLocation compiledServiceLocation() { return ServiceLocation{VESTIBRA_SERVICE_HOST, accessKey}; }

ServiceLocation chooseServiceLocation(const ConfiguredLocation& policy, const ConfiguredLocation& user,
                                      const ServiceLocation& compiled) {
  return ServiceLocation{firstValid(policy.host, user.host, compiled.host, isServiceHost),
                         firstValid(policy.key, user.key, compiled.key, isAccessKey)};
}

void useServiceLocation(const ServiceLocation& location) {
  serviceBaseUrl = "http://" + location.host + "/api/reception/";
  serviceAccessKey = location.key;
}
