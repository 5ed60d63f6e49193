// Personal notifier keys: a key per member of staff, derived from the
// installation's secret, the member's id and how often the key was replaced
// (the same every time until it is), so that a notifier holding one reads
// and archives only that member's guests. A key that leaked is replaced:
// the member's count goes up, and the old key is no longer anyone's.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

// Which keys notifiers may use (--notifier-keys).
enum class NotifierKeys { shared, personal, both };

constexpr std::size_t personalKeyChars = 24;

// Pure: the key of a member from the secret's bytes; version 0 is the key
// every member has until it is first replaced.
std::string derivePersonalKey(const std::string& secret, std::int64_t staffId, std::int64_t version = 0);
// The member's key, from the stored secret.
Outcome personalKeyOf(std::int64_t staffId, std::string& key);
// Replaces the active member's key with a new one, at once on this instance
// (within seconds on others); notFound when no active member has the id.
Outcome replacePersonalKey(std::int64_t staffId, std::string& key);
// The active member whose personal key this is, or 0.
std::int64_t personalKeyHolder(const std::string& key);
