#include "store/personal_keys.h"

#include <sodium.h>

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "store/clock.h"
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

// The members whose key was replaced, and how often.
Outcome keyVersions(std::unordered_map<std::int64_t, std::int64_t>& versions) {
  ReadSession session;
  Statement query = session.prepare("SELECT staff_id, version FROM personal_key_version");
  int result;
  while ((result = query.step()) == SQLITE_ROW) versions[query.integer(0)] = query.integer(1);
  return result == SQLITE_DONE ? Outcome::ok : session.fail("read of the personal keys' versions");
}

Outcome keyVersionOf(std::int64_t staffId, std::int64_t& version) {
  ReadSession session;
  Statement query = session.prepare("SELECT version FROM personal_key_version WHERE staff_id = ?1");
  int result = query.bind(1, staffId).step();
  version = result == SQLITE_ROW ? query.integer(0) : 0;
  return result == SQLITE_ROW || result == SQLITE_DONE ? Outcome::ok : session.fail("read of a personal key's version");
}

void rebuild(KeyTable& table, const std::string& secret) {
  std::vector<StaffRow> staff;
  std::unordered_map<std::int64_t, std::int64_t> versions;
  if (activeStaff(staff) != Outcome::ok || keyVersions(versions) != Outcome::ok) return;
  table.holders.clear();
  table.secret = secret;
  for (const StaffRow& member : staff) {
    auto version = versions.find(member.id);
    std::int64_t current = version == versions.end() ? 0 : version->second;
    table.holders.emplace(derivePersonalKey(secret, member.id, current), member.id);
  }
  table.builtAt = std::chrono::steady_clock::now();
  table.built = true;
}

}  // namespace

std::string derivePersonalKey(const std::string& secret, std::int64_t staffId, std::int64_t version) {
  unsigned char master[crypto_kdf_KEYBYTES] = {};
  unsigned char subkey[personalKeyChars] = {};
  crypto_generichash(master, sizeof master, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), nullptr, 0);
  if (version != 0) {
    // A replaced key comes from a master of its own version; version 0 keeps the first keys as they always were.
    std::string label = "replaced " + std::to_string(version);
    crypto_generichash(master, sizeof master, reinterpret_cast<const unsigned char*>(label.data()), label.size(), master,
                       sizeof master);
  }
  crypto_kdf_derive_from_key(subkey, sizeof subkey, static_cast<std::uint64_t>(staffId), kdfContext, master);
  std::string key;
  for (unsigned char byte : subkey) key += keyAlphabet[byte & 31];
  sodium_memzero(master, sizeof master);
  return key;
}

Outcome personalKeyOf(std::int64_t staffId, std::string& key) {
  std::string secret;
  std::int64_t version = 0;
  Outcome read = installationSecret(secret);
  if (read == Outcome::ok) read = keyVersionOf(staffId, version);
  if (read == Outcome::ok) key = derivePersonalKey(secret, staffId, version);
  return read;
}

Outcome replacePersonalKey(std::int64_t staffId, std::string& key) {
  std::string secret;
  Outcome read = installationSecret(secret);
  if (read != Outcome::ok) return read;
  std::int64_t version = 0;
  {
    WriteTransaction transaction;
    if (!transaction.begun()) return transaction.beginOutcome();
    Statement member = transaction.prepare("SELECT 1 FROM staff WHERE id = ?1 AND removed_at IS NULL");
    int found = member.bind(1, staffId).step();
    if (found == SQLITE_DONE) return Outcome::notFound;
    if (found != SQLITE_ROW) return transaction.fail("read of a member");
    Statement raise = transaction.prepare(
        "INSERT INTO personal_key_version (staff_id, version, replaced_at) VALUES (?1, 1, ?2) "
        "ON CONFLICT (staff_id) DO UPDATE SET version = personal_key_version.version + 1, replaced_at = ?2");
    if (!raise.bind(1, staffId).bind(2, currentTimeMs()).run()) return transaction.fail("replacement of a personal key");
    Statement current = transaction.prepare("SELECT version FROM personal_key_version WHERE staff_id = ?1");
    if (current.bind(1, staffId).step() != SQLITE_ROW) return transaction.fail("read of a personal key's version");
    version = current.integer(0);
    Outcome committed = transaction.commit();
    if (committed != Outcome::ok) return committed;
  }
  key = derivePersonalKey(secret, staffId, version);
  // The old key stops working here at once, not at the next rebuild.
  KeyTable& table = keyTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.built = false;
  return Outcome::ok;
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
