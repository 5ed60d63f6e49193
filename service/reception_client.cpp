#include "reception_client.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <memory>
#include <functional>
#include <vector>

#include "http_client.h"
#include "sockets.h"

#ifndef VESTIBRA_SERVICE_HOST
#define VESTIBRA_SERVICE_HOST "localhost"
#endif

// NOLINTNEXTLINE(cert-err58-cpp): a process-wide object; start-up cannot go on without memory
std::string serviceBaseUrl = "http://" VESTIBRA_SERVICE_HOST "/api/reception/";
// NOLINTNEXTLINE(cert-err58-cpp): as above
std::string serviceAccessKey = accessKey;
UserList userList;
int (*startSockets)(unsigned short version) = wsaStartup;

namespace {

constexpr unsigned short socketsVersion = 0x0101;
constexpr std::size_t notificationFields = 6;

struct Reply {
  std::unique_ptr<char[]> body;
  std::unique_ptr<char[]> headers;
  std::int32_t length = 0;
};

std::string keyedPath(const char* endpoint) { return std::string(endpoint) + "?key=" + serviceAccessKey; }

// Frame steps up to the read: start sockets, then fetch serviceBaseUrl + path.
bool startAndRead(const std::string& path, Reply& reply) {
  std::string url = serviceBaseUrl + path;
  if (startSockets(socketsVersion) != 0) return false;
  reply.body = readUrl(url.c_str(), reply.length, reply.headers);
  return true;
}

// Log readers open downloaded.file for the last non-empty answer as received:
// the name and the copy are kept on purpose.
void dumpBody(const Reply& reply) {
  std::FILE* file = std::fopen("downloaded.file", "wb");
  if (file == nullptr) return;
  // Nothing reads the dump back, so a short or failed write is passed over.
  std::fwrite(reply.body.get(), 1, static_cast<std::size_t>(reply.length), file);  // NOLINT(cert-err33-c)
  std::fclose(file);                                                              // NOLINT(cert-err33-c)
}

// Frame steps after decoding: diagnostics, the dump, release, clean-up. Log
// readers match these lines byte for byte, odd spellings included: keep them.
void reportAndFinish(Reply& reply, const char* dataFormat) {
  std::printf("returned from readUrl\n");
  std::printf(dataFormat, reply.body.get());
  if (reply.length != 0) {
    std::printf("Got some data\n");
    dumpBody(reply);
  }
  std::fflush(stdout);  // NOLINT(cert-err33-c): diagnostics only; a failed write to standard output is passed over
  reply = Reply{};
  wsaCleanup();
}

bool isUnreservedByte(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
         byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

using NotificationFields = std::array<std::string_view, notificationFields>;

Notification notificationFromFields(const NotificationFields& fields) {
  Notification notification;
  notification.id = fields[0];
  notification.headline = fields[1];
  notification.detail = fields[2];
  notification.arrivalHour = decimalPrefix(std::string(fields[3]).c_str());
  notification.arrivalMinute = decimalPrefix(std::string(fields[4]).c_str());
  notification.arrivalSecond = decimalPrefix(std::string(fields[5]).c_str());
  return notification;
}

// The positions of a NotificationList's elements by id, for constant-time
// look-ups while one answer is decoded. Open addressing in one flat array
// keeps a look-up to one slot probe and, on a hash match, one list element;
// a set of nodes would chase pointers through memory for every record.
struct IdIndex {
  // 0 is a free slot; otherwise the low 32 bits of the id's hash above the
  // element's position + 1.
  std::vector<std::uint64_t> slots;
  std::size_t used = 0;
};

std::uint32_t idHash(std::string_view id) { return static_cast<std::uint32_t>(std::hash<std::string_view>{}(id)); }

std::size_t homeSlot(const IdIndex& index, std::uint32_t hash) { return hash & (index.slots.size() - 1); }

void placeSlot(IdIndex& index, std::uint64_t slot) {
  std::size_t at = homeSlot(index, static_cast<std::uint32_t>(slot >> 32));
  while (index.slots[at] != 0) at = (at + 1) & (index.slots.size() - 1);
  index.slots[at] = slot;
}

// Keeps the table at most half full, so probe runs stay short.
void reserveIndex(IdIndex& index, std::size_t ids) {
  std::size_t capacity = 16;
  while (capacity < 2 * ids) capacity *= 2;
  if (capacity <= index.slots.size()) return;
  std::vector<std::uint64_t> old(capacity, 0);
  old.swap(index.slots);
  for (std::uint64_t slot : old) {
    if (slot != 0) placeSlot(index, slot);
  }
}

void addToIndex(IdIndex& index, std::string_view id, std::size_t position) {
  reserveIndex(index, index.used + 1);
  placeSlot(index, static_cast<std::uint64_t>(idHash(id)) << 32 | (position + 1));
  ++index.used;
}

bool indexHolds(const IdIndex& index, const NotificationList& list, std::string_view id) {
  std::uint32_t hash = idHash(id);
  for (std::size_t at = homeSlot(index, hash); index.slots[at] != 0; at = (at + 1) & (index.slots.size() - 1)) {
    std::uint64_t slot = index.slots[at];
    if (static_cast<std::uint32_t>(slot >> 32) == hash && list[(slot & 0xFFFFFFFFu) - 1].id == id) return true;
  }
  return false;
}

}  // namespace

std::string encodeQueryValue(std::string_view value) { return percentEncode(value, isUnreservedByte); }

std::int32_t decimalPrefix(const char* text) {
  while (isCSpace(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<std::int32_t>(value);
}

void decodeUsers(const char* body, UserList& users) { splitText(body, users, ","); }

void decodeNotifications(const char* body, NotificationList& list) {
  IdIndex knownIds;
  reserveIndex(knownIds, list.size());
  for (std::size_t position = 0; position < list.size(); ++position) addToIndex(knownIds, list[position].id, position);

  // Records and fields are views into the body, so a long answer is not
  // copied piece by piece before it is decoded.
  forEachPiece(body, ",", [&](std::string_view record) {
    NotificationFields fields;
    std::size_t fieldCount = 0;
    forEachPiece(record, "|", [&](std::string_view field) {
      if (fieldCount < fields.size()) fields[fieldCount] = field;
      ++fieldCount;
    });
    // Only complete records become notifications: an empty record or one of
    // fewer than six fields is dropped, whatever its id.
    if (fieldCount < notificationFields || indexHolds(knownIds, list, fields[0])) return;
    list.push_back(notificationFromFields(fields));
    addToIndex(knownIds, list.back().id, list.size() - 1);
  });
}

std::int32_t fetchUsers(UserList& users) {
  Reply reply;
  if (!startAndRead(keyedPath("listUsers"), reply)) return -1;
  decodeUsers(reply.body.get(), users);
  reportAndFinish(reply, "data returned:\n%s");
  return 0;
}

std::int32_t fetchNotifications(const char* userName, NotificationList& list) {
  TextList nameParts;
  splitText(userName, nameParts, " ");
  // A name of fewer than two words asks with the missing parts empty.
  nameParts.resize(std::max<std::size_t>(nameParts.size(), 2));
  std::string path = keyedPath("getNotification") + "&fn=" + encodeQueryValue(nameParts[0]) +
                     "&ln=" + encodeQueryValue(nameParts[1]);
  Reply reply;
  if (!startAndRead(path, reply)) return -1;
  decodeNotifications(reply.body.get(), list);
  reportAndFinish(reply, "data retu rned:\n%s");  // not a typo: log readers match the split word
  return 0;
}

// The callee gets its own copy of the id, as the caller's notification is dropped after the call.
// cppcheck-suppress passedByValue
std::int32_t archiveNotification(std::string id) {  // NOLINT(performance-unnecessary-value-param)
  Reply reply;
  if (!startAndRead(keyedPath("archiveNotification") + "&id=" + encodeQueryValue(id), reply)) return -1;
  std::int32_t answer = decimalPrefix(reply.body.get());
  reportAndFinish(reply, "data returned:\n%s");
  return answer;
}
