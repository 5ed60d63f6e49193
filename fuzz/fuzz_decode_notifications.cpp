// decodeNotifications on any two getNotification bodies, decoded one after
// the other into one list (input: first body, NUL, second body). The list's
// ids stay unique, held elements keep their fields and places, each new
// element comes whole from one complete record of the body, and decoding the
// same body again appends nothing.
#include <climits>
#include <set>

#include "fuzz_check.h"
#include "reception_client.h"
#include "split_text.h"

namespace {

bool sameNotification(const Notification& a, const Notification& b) {
  return a.id == b.id && a.headline == b.headline && a.detail == b.detail && a.arrivalHour == b.arrivalHour &&
         a.arrivalMinute == b.arrivalMinute && a.arrivalSecond == b.arrivalSecond;
}

// atoi's reading, clamped to 32 bits.
std::int32_t leadingNumber(const std::string& field) {
  std::size_t at = field.find_first_not_of(" \t\n\v\f\r");
  if (at == std::string::npos) return 0;
  bool negative = field[at] == '-';
  if (field[at] == '-' || field[at] == '+') ++at;
  long long value = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
    value = std::min(value * 10 + (field[at] - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  value = negative ? -value : std::min(value, static_cast<long long>(INT_MAX));
  return static_cast<std::int32_t>(value);
}

// The notifications a body adds to a list holding the given ids: each
// complete record (six fields or more) whose id is not yet held, in order.
NotificationList expectedAdditions(std::string_view body, std::set<std::string> ids) {
  NotificationList added;
  std::string text(untilNul(body));
  TextList records;
  splitText(text.c_str(), records, ",");
  for (const std::string& record : records) {
    TextList fields;
    splitText(record.c_str(), fields, "|");
    if (fields.size() < 6 || !ids.insert(fields[0]).second) continue;
    added.push_back(Notification{fields[0], fields[1], fields[2], leadingNumber(fields[3]), leadingNumber(fields[4]),
                                 leadingNumber(fields[5])});
  }
  return added;
}

void decodeAndCheck(const std::string& body, NotificationList& list) {
  NotificationList before = list;
  std::set<std::string> heldIds;
  for (const Notification& held : list) heldIds.insert(held.id);
  NotificationList expected = expectedAdditions(body, heldIds);

  decodeNotifications(body.c_str(), list);
  FUZZ_CHECK(list.size() == before.size() + expected.size());
  for (std::size_t i = 0; i < before.size(); ++i) FUZZ_CHECK(sameNotification(list[i], before[i]));
  for (std::size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(sameNotification(list[before.size() + i], expected[i]));
  std::set<std::string> ids;
  for (const Notification& n : list) FUZZ_CHECK(ids.insert(n.id).second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  std::string first = takePart(input, '\0');
  std::string second(input);

  NotificationList list{Notification{"held", "Held guest", "Lobby", 9, 30, 0}};
  decodeAndCheck(first, list);
  decodeAndCheck(second, list);
  std::size_t settled = list.size();
  decodeNotifications(first.c_str(), list);
  decodeNotifications(second.c_str(), list);
  FUZZ_CHECK(list.size() == settled);
  return 0;
}
