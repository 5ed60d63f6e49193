#include "service_registry.h"

#include <windows.h>

#include <optional>
#include <string>

#include "service_location.h"

namespace {

const char policyKeyPath[] = "Software\\Policies\\Vestibra";
const char userKeyPath[] = "Software\\Vestibra";

// Longer than any valid host or key with room to spare: a longer value is
// invalid anyway and is read as absent.
constexpr DWORD valueCapacity = 512;

struct KeyCloser {
  HKEY key;
  ~KeyCloser() { RegCloseKey(key); }
};

// A REG_SZ value's text (without its terminating NUL); nullopt for a missing
// value, another type or one larger than valueCapacity.
std::optional<std::string> readStringValue(HKEY key, const char* name) {
  char buffer[valueCapacity];
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  std::string text(buffer, size);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

ConfiguredLocation readConfiguredLocation(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  KeyCloser closer{key};
  return ConfiguredLocation{readStringValue(key, "ServiceHost"), readStringValue(key, "AccessKey")};
}

}  // namespace

void loadServiceLocation() {
  ConfiguredLocation policy = readConfiguredLocation(HKEY_LOCAL_MACHINE, policyKeyPath);
  ConfiguredLocation user = readConfiguredLocation(HKEY_CURRENT_USER, userKeyPath);
  useServiceLocation(chooseServiceLocation(policy, user, compiledServiceLocation()));
}
