// Whole requests through the service's router and storage, on an in-memory
// database (input: one byte choosing method, content type and whether an
// admin session goes along, the target up to the first LF, then the body). Every answer has a known status, desk
// answers are JSON, and notifier answers keep the formats notifiers decode.
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "store/accounts.h"
#include "fuzz_check.h"
#include "rules/login_throttle.h"
#include "notifier/api.h"
#include "service.h"
#include "reception_client.h"
#include "http/request_guard.h"
#include "split_text.h"
#include "store/notifications.h"
#include "store/schema.h"
#include "store/staff.h"
#include "store/clock.h"
#include "text/code_page.h"

namespace {

const char* const methods[] = {"GET", "POST", "DELETE", "PUT", "HEAD", "get"};
// The store is started afresh now and then, so that it stays small.
constexpr int requestsPerStore = 2000;
int requestsOnThisStore = requestsPerStore;
// An admin session on the current store, sent with inputs that ask for it.
std::string sessionCookie;

void freshStore() {
  FUZZ_CHECK(initAccounts());
  passwordCost = PasswordCost{crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
  ServiceSettings settings;
  settings.notifier.accessKey = accessKey;
  settings.origin.hostNames = {"localhost"};
  configureService(settings);
  closeStorage();
  FUZZ_CHECK(openStorage(":memory:").empty());
  seedDemoStaff();
  forgetLoginFailures();
  DeskAccount admin;
  FUZZ_CHECK(addAccount("admin", "admin", "admin-password", admin) == Outcome::ok);
  std::string token;
  FUZZ_CHECK(startSession(admin.id, token) == Outcome::ok);
  sessionCookie = "vestibra_session=" + token;
  requestsOnThisStore = 0;
}

bool isKnownStatus(int status) {
  // 302: a sign-in's redirect; 303: a used sign-in link's button; 308: /me to /me/; 410: a used link.
  for (int known : {200, 201, 302, 303, 308, 400, 401, 403, 404, 405, 409, 410, 413, 415, 429}) {
    if (status == known) return true;
  }
  return false;
}

void checkNotifierAnswer(const RequestTarget& target, const HttpResponse& response) {
  if (response.status != 200) {
    FUZZ_CHECK(response.body.empty());
    return;
  }
  FUZZ_CHECK(response.body.find('\0') == std::string::npos);
  if (target.path == "/api/reception/listUsers") {
    UserList users;
    decodeUsers(response.body.c_str(), users);
    // Notifiers send back the first two words of a listed name (a name may
    // have more): they must find exactly that member.
    std::vector<StaffRow> staff;
    FUZZ_CHECK(activeStaff(staff) == Outcome::ok);
    for (const std::string& user : users) {
      TextList parts;
      splitText(user.c_str(), parts, " ");
      FUZZ_CHECK(parts.size() >= 2 && !parts[0].empty() && !parts[1].empty());
      std::string firstTwo;
      FUZZ_CHECK(fromCodePage(parts[0] + " " + parts[1], firstTwo, defaultCodePage));
      std::string listed;
      FUZZ_CHECK(fromCodePage(user, listed, defaultCodePage));
      std::size_t found = 0;
      for (const StaffRow& member : staff) {
        if (lookupName(member.displayName) != firstTwo) continue;
        ++found;
        FUZZ_CHECK(member.displayName == listed);
      }
      FUZZ_CHECK(found == 1);
    }
  } else if (target.path == "/api/reception/getNotification") {
    TextList records;
    splitText(response.body.c_str(), records, ",");
    for (const std::string& record : records) {
      TextList fields;
      splitText(record.c_str(), fields, "|");
      FUZZ_CHECK(fields.size() == 6);
    }
  } else if (target.path == "/api/reception/archiveNotification") {
    FUZZ_CHECK(response.body == "0" || response.body == "1");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (requestsOnThisStore++ >= requestsPerStore) freshStore();
  std::string_view input = fuzzBytes(data + 1, size - 1);
  HttpRequest request;
  request.method = methods[data[0] % (sizeof methods / sizeof methods[0])];
  request.contentType = (data[0] & 0x80) != 0 ? "text/plain" : "application/json; charset=utf-8";
  request.target = std::string(untilNul(takePart(input, '\n')));
  request.body = std::string(input.substr(0, maxRequestBodyBytes));
  request.bodyTooLarge = (data[0] & 0x40) != 0;
  request.host = "localhost";
  if ((data[0] & 0x20) == 0) request.cookie = sessionCookie;
  // Without a server, the handler decides the request itself, as the server would when the headers arrive.
  HttpResponse response = handleReceptionRequest(request);
  FUZZ_CHECK(isKnownStatus(response.status));
  RequestTarget target = parseRequestTarget(request.target);
  if (target.path.rfind("/api/reception/", 0) == 0) {
    checkNotifierAnswer(target, response);
  } else if (target.path.rfind("/api/desk/", 0) == 0 && response.contentType.rfind("text/csv", 0) != 0) {
    // Every desk answer is JSON, but for the CSV downloads (staff.csv, visitors.csv).
    FUZZ_CHECK(!nlohmann::json::parse(response.body, nullptr, false).is_discarded());
  }
  return 0;
}
