// Personal notifier keys: a key per member of staff, derived from the
// installation's secret and the member's id (the same every time), so that
// a notifier holding one reads and archives only that member's guests.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

// Which keys notifiers may use (--notifier-keys).
enum class NotifierKeys { shared, personal, both };

constexpr std::size_t personalKeyChars = 24;

// Pure: the key of a member from the secret's bytes.
std::string derivePersonalKey(const std::string& secret, std::int64_t staffId);
// The member's key, from the stored secret.
Outcome personalKeyOf(std::int64_t staffId, std::string& key);
// The active member whose personal key this is, or 0.
std::int64_t personalKeyHolder(const std::string& key);
