#include "reception_client.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <unordered_set>

#include "http_client.h"
#include "sockets.h"

#ifndef VESTIBRA_SERVICE_HOST
#define VESTIBRA_SERVICE_HOST "localhost"
#endif

std::string serviceBaseUrl = "http://" VESTIBRA_SERVICE_HOST "/api/reception/";
const char accessKey[] = "m9pqzRWkfhT7031";
UserList userList;

namespace {

constexpr unsigned short socketsVersion = 0x0101;
constexpr std::size_t notificationFields = 6;

struct Reply {
  std::unique_ptr<char[]> body;
  std::unique_ptr<char[]> headers;
  std::int32_t length = 0;
};

std::string keyedPath(const char* endpoint) { return std::string(endpoint) + "?key=" + accessKey; }

// Frame steps up to the read: start sockets, then fetch serviceBaseUrl + path.
bool startAndRead(const std::string& path, Reply& reply) {
  std::string url = serviceBaseUrl + path;
  if (wsaStartup(socketsVersion) != 0) return false;
  reply.body = readUrl(url.c_str(), reply.length, reply.headers);
  return true;
}

void dumpBody(const Reply& reply) {
  std::FILE* file = std::fopen("downloaded.file", "wb");
  if (file == nullptr) return;
  std::fwrite(reply.body.get(), 1, static_cast<std::size_t>(reply.length), file);
  std::fclose(file);
}

// Frame steps after decoding: diagnostics, the dump, release, clean-up.
void reportAndFinish(Reply& reply, const char* dataFormat) {
  std::printf("returned from readUrl\n");
  std::printf(dataFormat, reply.body.get());
  if (reply.length != 0) {
    std::printf("Got some data\n");
    dumpBody(reply);
  }
  std::fflush(stdout);
  reply = Reply{};
  wsaCleanup();
}

bool isUnreservedByte(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
         byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

Notification notificationFromFields(TextList& fields) {
  Notification notification;
  notification.id = std::move(fields[0]);
  notification.headline = std::move(fields[1]);
  notification.detail = std::move(fields[2]);
  notification.arrivalHour = decimalPrefix(fields[3].c_str());
  notification.arrivalMinute = decimalPrefix(fields[4].c_str());
  notification.arrivalSecond = decimalPrefix(fields[5].c_str());
  return notification;
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
  // Ids already held, for constant-time de-duplication; views stay valid
  // because appending to the list never moves its elements.
  std::unordered_set<std::string_view> knownIds;
  for (const Notification& held : list) knownIds.insert(held.id);

  TextList records;
  splitText(body, records, ",");
  for (const std::string& record : records) {
    TextList fields;
    splitText(record.c_str(), fields, "|");
    // Only complete records become notifications: an empty record or one of
    // fewer than six fields is dropped, whatever its id.
    if (fields.size() < notificationFields || knownIds.count(fields[0]) != 0) continue;
    list.push_back(notificationFromFields(fields));
    knownIds.insert(list.back().id);
  }
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
  reportAndFinish(reply, "data retu rned:\n%s");
  return 0;
}

std::int32_t archiveNotification(std::string id) {
  Reply reply;
  if (!startAndRead(keyedPath("archiveNotification") + "&id=" + encodeQueryValue(id), reply)) return -1;
  std::int32_t answer = decimalPrefix(reply.body.get());
  reportAndFinish(reply, "data returned:\n%s");
  return answer;
}
