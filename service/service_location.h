// Where the notifier finds its reception service: host and access key from an
// administrator's policy, else from the user's own settings, else as built.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct ServiceLocation {
  std::string host;
  std::string key;
};

// The values one place (policy or user) holds; nullopt where it holds none.
struct ConfiguredLocation {
  std::optional<std::string> host;
  std::optional<std::string> key;
};

// A DNS name or IPv4 address: 1 to 253 letters, digits, '.' and '-'.
bool isServiceHost(std::string_view host);
// 1 to 128 letters, digits and "-._~": it travels unencoded in the query.
bool isAccessKey(std::string_view key);

// The host and key as built into the program.
ServiceLocation compiledServiceLocation();

// Each value on its own: a valid policy value wins over a valid user value,
// which wins over the compiled-in one; an invalid value counts as absent.
ServiceLocation chooseServiceLocation(const ConfiguredLocation& policy, const ConfiguredLocation& user,
                                      const ServiceLocation& compiled);

// Points the requests at location (serviceBaseUrl and serviceAccessKey).
void useServiceLocation(const ServiceLocation& location);
