#include "store/installation_secret.h"

#include <sodium.h>

namespace {

constexpr std::size_t secretBytes = 32;

std::string toHex(const std::string& bytes) {
  std::string hex(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  hex.pop_back();
  return hex;
}

// The bytes of a hex text of secretBytes, or "".
std::string fromHex(const std::string& hex) {
  std::string bytes(secretBytes, '\0');
  std::size_t length = 0;
  if (sodium_hex2bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), hex.data(), hex.size(), nullptr,
                     &length, nullptr) != 0 || length != secretBytes) {
    return "";
  }
  return bytes;
}

}  // namespace

Outcome installationSecret(std::string& secret) {
  {
    ReadSession session;
    Statement read = session.prepare("SELECT secret FROM installation_secret WHERE id = 1");
    int result = read.step();
    if (result == SQLITE_ROW) secret = fromHex(read.text(0));
    if (result != SQLITE_ROW && result != SQLITE_DONE) return session.fail("read of the installation's secret");
    if (!secret.empty()) return Outcome::ok;
  }
  // The first use: made within a write, so that two first uses agree.
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement read = transaction.prepare("SELECT secret FROM installation_secret WHERE id = 1");
  int result = read.step();
  std::string found;
  if (result == SQLITE_ROW) {
    found = fromHex(read.text(0));
  } else if (result != SQLITE_DONE) {
    return transaction.fail("read of the installation's secret");
  }
  if (found.size() != secretBytes) {
    found.assign(secretBytes, '\0');
    randombytes_buf(found.data(), found.size());
    Statement write = transaction.prepare(
        "INSERT INTO installation_secret (id, secret) VALUES (1, ?1) ON CONFLICT (id) DO UPDATE SET secret = excluded.secret");
    if (!write.bind(1, toHex(found)).run()) return transaction.fail("write of the installation's secret");
  }
  Outcome committed = transaction.commit();
  if (committed != Outcome::ok) return committed;
  secret = found;
  return Outcome::ok;
}

Outcome hostOfGuest(std::int64_t notificationId, std::int64_t& staffId) {
  ReadSession session;
  Statement query = session.prepare("SELECT staff_id FROM notification WHERE id = ?1");
  int result = query.bind(1, notificationId).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return session.fail("read of a guest's host");
  staffId = query.integer(0);
  return Outcome::ok;
}
