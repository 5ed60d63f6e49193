#include "store/personal_keys.h"

#include <sodium.h>

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "store/installation_secret.h"
#include "store/staff.h"

namespace {

// 32 letters and digits without the look-alikes l, o, 0 and 1: 5 bits each, no bias.
constexpr char keyAlphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr char kdfContext[crypto_kdf_CONTEXTBYTES + 1] = "notifkey";
// A key not in the table rebuilds it at most this often (a member added since).
constexpr auto rebuildInterval = std::chrono::seconds(5);

bool isKeyShaped(const std::string& key) {
  if (key.size() != personalKeyChars) return false;
  for (char c : key) {
    if (std::string_view(keyAlphabet).find(c) == std::string_view::npos) return false;
  }
  return true;
}

struct KeyTable {
  std::mutex mutex;
  std::unordered_map<std::string, std::int64_t> holders;
  std::string secret;
  std::chrono::steady_clock::time_point builtAt;
  bool built = false;
};

KeyTable& keyTable() {
  static KeyTable table;
  return table;
}

void rebuild(KeyTable& table, const std::string& secret) {
  std::vector<StaffRow> staff;
  if (activeStaff(staff) != Outcome::ok) return;
  table.holders.clear();
  table.secret = secret;
  for (const StaffRow& member : staff) table.holders.emplace(derivePersonalKey(secret, member.id), member.id);
  table.builtAt = std::chrono::steady_clock::now();
  table.built = true;
}

}  // namespace

std::string derivePersonalKey(const std::string& secret, std::int64_t staffId) {
  unsigned char master[crypto_kdf_KEYBYTES] = {};
  unsigned char subkey[personalKeyChars] = {};
  crypto_generichash(master, sizeof master, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), nullptr, 0);
  crypto_kdf_derive_from_key(subkey, sizeof subkey, static_cast<std::uint64_t>(staffId), kdfContext, master);
  std::string key;
  for (unsigned char byte : subkey) key += keyAlphabet[byte & 31];
  sodium_memzero(master, sizeof master);
  return key;
}

Outcome personalKeyOf(std::int64_t staffId, std::string& key) {
  std::string secret;
  Outcome read = installationSecret(secret);
  if (read == Outcome::ok) key = derivePersonalKey(secret, staffId);
  return read;
}

std::int64_t personalKeyHolder(const std::string& key) {
  if (!isKeyShaped(key)) return 0;
  KeyTable& table = keyTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  // Rebuilt every few seconds at most, so that members removed since lose their key
  // and members added since gain one; a key not in the table also rebuilds
  // it at once when the secret is not the table's (another database opened).
  bool stale = !table.built || std::chrono::steady_clock::now() - table.builtAt >= rebuildInterval;
  auto found = table.holders.find(key);
  if (stale || found == table.holders.end()) {
    std::string secret;
    if (installationSecret(secret) != Outcome::ok) return 0;
    if (stale || secret != table.secret) rebuild(table, secret);
    found = table.holders.find(key);
  }
  return found == table.holders.end() ? 0 : found->second;
}
