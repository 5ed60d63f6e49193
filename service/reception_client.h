// The notifier's client of the reception web service: the three requests and
// the decoding of their answers.
// Errors: a request returns 0, or -1 when sockets cannot start (then nothing
// is sent or printed); a failed or empty answer leaves the lists as they were.
// Decoding never fails: what does not parse is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access_key.h"
#include "notification.h"
#include "split_text.h"

// Display names of the users the service knows, in the service's order.
using UserList = std::vector<std::string>;

// Filled once at start-up, read by the user dialog.
extern UserList userList;

// "http://" + service host + "/api/reception/"; the compiled-in host unless
// the start-up settings name another (service_location.h).
extern std::string serviceBaseUrl;
// The key the requests send: by default the compiled-in accessKey.
extern std::string serviceAccessKey;

// Starts Windows Sockets before each request (the socket seam's wsaStartup);
// tests put in one that fails.
extern int (*startSockets)(unsigned short version);

// Appends the service's user names. 0, or -1 when sockets cannot start.
std::int32_t fetchUsers(UserList& users);
// Appends the user's notifications whose id is not yet in list. 0, or -1.
std::int32_t fetchNotifications(const char* userName, NotificationList& list);
// Archives a notification; the number the answer starts with, or -1.
std::int32_t archiveNotification(std::string id);

// Decoding of answer bodies (the text up to the first NUL).
void decodeUsers(const char* body, UserList& users);
void decodeNotifications(const char* body, NotificationList& list);

// A query value: letters, digits and "-._~" as they are, every other byte as %XX.
std::string encodeQueryValue(std::string_view value);

// Decimal text to a signed 32-bit integer as atoi reads it (leading white
// space, optional sign, digits), clamped to the 32-bit range instead of
// overflowing.
std::int32_t decimalPrefix(const char* text);
