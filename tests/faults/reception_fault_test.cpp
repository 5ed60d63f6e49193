// The reception service under fault: killed with SIGKILL again and again
// while announcements, polls and archives come in, and fed malformed
// requests. Nothing answered may be lost, the database must stay sound, and
// nothing malformed may change the schema or a stored value.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "reception_client.h"
#include "reception_test_support.h"
#include "split_text.h"

namespace {

using nlohmann::json;

const std::string keyed = std::string("?key=") + accessKey;

// A read-only look at the service's database file, beside the service.
class DatabaseView {
 public:
  explicit DatabaseView(const std::filesystem::path& path) {
    if (sqlite3_open_v2(path.c_str(), &database_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(database_);
      database_ = nullptr;
    }
  }
  ~DatabaseView() { sqlite3_close(database_); }
  DatabaseView(const DatabaseView&) = delete;
  DatabaseView& operator=(const DatabaseView&) = delete;

  bool open() const { return database_ != nullptr; }
  // The rows of a query, each as its columns joined with "|".
  std::vector<std::string> rows(const std::string& sql) const {
    std::vector<std::string> result;
    sqlite3_stmt* statement = nullptr;
    if (database_ == nullptr || sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return {"cannot run: " + sql};
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const unsigned char* text = sqlite3_column_text(statement, column);
        row += (column > 0 ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
      }
      result.push_back(row);
    }
    sqlite3_finalize(statement);
    return result;
  }
  std::string value(const std::string& sql) const {
    std::vector<std::string> found = rows(sql);
    return found.empty() ? "" : found[0];
  }

 private:
  sqlite3* database_ = nullptr;
};

// What the load saw answered with success, to be found in the database.
struct Answered {
  std::mutex mutex;
  std::vector<std::int64_t> announced;
  std::set<std::int64_t> archived;
  std::set<std::int64_t> delivered;
  // Shown since the last restart: a poll answers before the delivery is
  // written, so a kill may take those writes with it.
  std::set<std::int64_t> deliveredThisRound;
  std::size_t requests = 0;

  std::int64_t pickUnarchived(std::mt19937& random) {
    std::lock_guard<std::mutex> lock(mutex);
    if (announced.empty()) return 0;
    return announced[std::uniform_int_distribution<std::size_t>(0, announced.size() - 1)(random)];
  }
};

bool answered(const RawReply& reply, int status) { return reply.complete && reply.status == status; }

// The ids at the start of each record of a getNotification answer.
std::vector<std::int64_t> recordIds(const std::string& body) {
  std::vector<std::int64_t> ids;
  TextList records;
  splitText(body.c_str(), records, ",");
  for (const std::string& record : records) ids.push_back(std::stoll(record.substr(0, record.find('|'))));
  return ids;
}

// One client of the load: announces at the desk, polls as a notifier, and
// archives from either side, until the service stops answering.
void runClient(const ServiceProcess& service, const std::string& deskCookie, const std::vector<std::int64_t>& staffIds,
               int seed, std::atomic<bool>& stop, Answered& seen) {
  std::mt19937 random(static_cast<unsigned>(seed));
  // Bounded: the service is killed well before this many requests.
  for (int i = 0; i < 5000 && !stop; ++i) {
    int kind = static_cast<int>(random() % 4);
    std::int64_t staff = staffIds[random() % staffIds.size()];
    bool ok = false;
    if (kind <= 1) {
      RawReply reply = send11(service.host, service.port, "POST", "/api/desk/notifications",
                              json{{"staffId", staff}, {"guestName", "Guest " + std::to_string(i)}}.dump(),
                              "application/json", deskCookie);
      ok = answered(reply, 201);
      if (ok) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.announced.push_back(json::parse(reply.body)["id"].get<std::int64_t>());
      }
    } else if (kind == 2) {
      RawReply reply = getAs10(service.host, service.port, "/api/reception/getNotification" + keyed + "&fn=Anna&ln=Schmidt");
      ok = answered(reply, 200);
      if (ok) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        for (std::int64_t id : recordIds(reply.body)) {
          seen.delivered.insert(id);
          seen.deliveredThisRound.insert(id);
        }
      }
    } else {
      std::int64_t id = seen.pickUnarchived(random);
      if (id == 0) continue;
      bool byNotifier = random() % 2 == 0;
      RawReply reply =
          byNotifier ? getAs10(service.host, service.port,
                               "/api/reception/archiveNotification" + keyed + "&id=" + std::to_string(id))
                     : send11(service.host, service.port, "POST", "/api/desk/notifications/" + std::to_string(id) + "/archive",
                              "", "application/json", deskCookie);
      // Archiving twice is refused: "0" from the notifier side, 404 from the desk.
      ok = reply.complete && (reply.status == 200 || reply.status == 404);
      if (byNotifier ? ok && reply.body == "1" : answered(reply, 200)) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.archived.insert(id);
      }
    }
    if (!ok) return;  // the service is gone
    std::lock_guard<std::mutex> lock(seen.mutex);
    ++seen.requests;
  }
}

// Every answered change is in the database, which passes its integrity check.
void expectEverythingAnsweredIsStored(const std::filesystem::path& databasePath, Answered& seen, int round) {
  DatabaseView database(databasePath);
  ASSERT_TRUE(database.open()) << "round " << round;
  ASSERT_EQ(database.value("PRAGMA integrity_check"), "ok") << "round " << round;
  std::set<std::int64_t> stored, archived, delivered, withdrawn;
  for (const std::string& row : database.rows(
           "SELECT id, archived_at IS NOT NULL, delivered_at IS NOT NULL, archived_by IS 'desk' FROM notification")) {
    TextList columns;
    splitText(row.c_str(), columns, "|");
    std::int64_t id = std::stoll(columns[0]);
    stored.insert(id);
    if (columns[1] == "1") archived.insert(id);
    if (columns[2] == "1") delivered.insert(id);
    if (columns[3] == "1") withdrawn.insert(id);
  }
  std::lock_guard<std::mutex> lock(seen.mutex);
  for (std::int64_t id : seen.announced) ASSERT_EQ(stored.count(id), 1u) << "announcement " << id << " lost in round " << round;
  for (std::int64_t id : seen.archived) ASSERT_EQ(archived.count(id), 1u) << "archive of " << id << " lost in round " << round;
  // A delivery not written is one shown in this round, or of a guest the desk
  // withdrew before a poll showed it again; a guest still waiting is shown
  // again by the first poll of the next round, which writes it.
  for (std::int64_t id : seen.delivered) {
    ASSERT_TRUE(delivered.count(id) == 1 || seen.deliveredThisRound.count(id) == 1 || withdrawn.count(id) == 1)
        << "delivery of " << id << " lost in round " << round;
  }
}

// The notifier's first poll after a start: shows every guest still waiting.
void pollOnce(const ServiceProcess& service, Answered& seen) {
  RawReply reply = getAs10(service.host, service.port, "/api/reception/getNotification" + keyed + "&fn=Anna&ln=Schmidt");
  std::lock_guard<std::mutex> lock(seen.mutex);
  seen.deliveredThisRound.clear();
  if (!answered(reply, 200)) return;
  for (std::int64_t id : recordIds(reply.body)) {
    seen.delivered.insert(id);
    seen.deliveredThisRound.insert(id);
  }
}

}  // namespace

TEST(ReceptionUnderFault, KilledAHundredTimesUnderLoadLosesNothingAnswered) {
  constexpr int kills = 100;
  TemporaryDirectory directory;
  std::filesystem::path databasePath = directory.path / "reception.db";
  Answered seen;
  std::mt19937 random(4242);
  std::vector<std::int64_t> staffIds;
  std::string deskCookie;  // the first round's demo session: sessions outlive restarts
  int loadUnderWay = 0;

  for (int round = 0; round < kills; ++round) {
    ServiceProcess service;
    // Guests pile up over the rounds: more than the default cap per host.
    std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--max-waiting-per-host", "10000"};
    if (round == 0) arguments.push_back("--demo");  // later rounds keep its password, and so its session
    ASSERT_TRUE(service.start(arguments, directory.path)) << service.output;
    if (staffIds.empty()) {
      deskCookie = service.deskCookie;
      json state = json::parse(send11(service.host, service.port, "GET", "/api/desk/state", "", "", deskCookie).body);
      for (const json& staff : state["staff"]) {
        staffIds.push_back(staff["id"].get<std::int64_t>());
      }
      ASSERT_FALSE(staffIds.empty());
    }
    pollOnce(service, seen);
    std::size_t requestsBefore = seen.requests;
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int client = 0; client < 3; ++client) {
      clients.emplace_back(runClient, std::cref(service), std::cref(deskCookie), std::cref(staffIds), round * 10 + client,
                           std::ref(stop), std::ref(seen));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 250)(random)));
    int status = service.stop(SIGKILL);
    stop = true;
    for (std::thread& client : clients) client.join();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;
    loadUnderWay += seen.requests > requestsBefore ? 1 : 0;
    expectEverythingAnsweredIsStored(databasePath, seen, round);
  }
  std::printf("%d kills, %d of them with requests answered just before; %zu requests answered (%zu announcements, "
              "%zu archives, %zu deliveries), all stored\n",
              kills, loadUnderWay, seen.requests, seen.announced.size(), seen.archived.size(), seen.delivered.size());
  // The load was under way at most kills.
  EXPECT_GE(loadUnderWay, kills * 3 / 4);
}

namespace {

class MalformedRequestTest : public InProcessServiceTest {
 protected:
  void SetUp() override {
    InProcessServiceTest::SetUp();
    startService();
  }

  std::filesystem::path databasePath() const { return directory_.path / "reception.db"; }
  // The schema and the number of rows, for comparing before and after.
  std::vector<std::string> schemaAndCounts() const {
    DatabaseView database(databasePath());
    std::vector<std::string> shape = database.rows("SELECT type, name, sql FROM sqlite_master ORDER BY name");
    shape.push_back("user_version " + database.value("PRAGMA user_version"));
    shape.push_back("staff " + database.value("SELECT count(*) FROM staff"));
    shape.push_back("notifications " + database.value("SELECT count(*) FROM notification"));
    return shape;
  }
  RawReply raw(const std::string& request) { return exchange(host_, port_, request); }
};

// Refused with a 4xx, answered with an empty body (or the archive answer
// "0", nothing archived), or dropped unanswered.
::testing::AssertionResult refusedOrEmpty(const RawReply& reply) {
  if ((reply.status >= 400 && reply.status < 500) ||
      (reply.status == 200 && (reply.body.empty() || reply.body == "0")) || reply.status == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "status " << reply.status << ", body \"" << reply.body.substr(0, 200) << "\"";
}

std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += digits[byte >> 4];
    hex += digits[byte & 0x0F];
  }
  return hex;
}

std::string notifierGet(const std::string& endpoint, const std::string& query) {
  return "GET /api/reception/" + endpoint + keyed + query + " HTTP/1.0\r\n\r\n";
}

}  // namespace

TEST_F(MalformedRequestTest, MalformedRequestsAreRefusedAndChangeNothing) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  announce(anna, "Ada", "Lobby");
  std::vector<std::string> before = schemaAndCounts();
  // Desk requests name the service and carry the test's admin session, so they reach the desk's own checks.
  const std::string desk = "Host: " + host_ + "\r\n" + adminCookie_;
  const std::string tenKilobytes(10 * 1024, 'x');
  const std::string nul(1, '\0');

  std::vector<std::pair<std::string, std::string>> requests = {
      {"oversized URL", notifierGet("listUsers", "&pad=" + std::string(100 * 1024, 'u'))},
      {"oversized header", "GET /api/desk/state HTTP/1.0\r\n" + desk + "X-Pad: " + std::string(100 * 1024, 'h') + "\r\n\r\n"},
      {"many headers", "GET /api/desk/state HTTP/1.0\r\n" + desk + [] {
         std::string lines;
         for (int i = 0; i < 3000; ++i) lines += "X-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
         return lines;
       }() + "\r\n"},
      {"unknown notifier path", notifierGet("dropTables", "")},
      {"notifier root", notifierGet("", "")},
      {"dot segments", "GET /api/reception/listUsers/../../../etc/passwd" + keyed + " HTTP/1.0\r\n\r\n"},
      {"escaped dot segments", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.0\r\n\r\n"},
      {"unknown desk path", "GET /api/desk/staff/1/2 HTTP/1.0\r\n" + desk + "\r\n"},
      {"desk id not a number", "POST /api/desk/notifications/1%20OR%201=1/archive HTTP/1.0\r\n" + desk + "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n"},
      {"notifier by POST", "POST /api/reception/listUsers" + keyed + " HTTP/1.0\r\nContent-Length: 0\r\n\r\n"},
      {"SQL in names", notifierGet("getNotification", "&fn=%27%20OR%20%271%27%3D%271&ln=x%27%3B%20DROP%20TABLE%20staff%3B--")},
      {"SQL in an id", notifierGet("archiveNotification", "&id=1%20OR%201%3D1")},
      {"SQL after an id", notifierGet("archiveNotification", "&id=1;DELETE%20FROM%20notification")},
      {"SQL as the key", "GET /api/reception/listUsers?key=%27%20OR%20%271%27%3D%271 HTTP/1.0\r\n\r\n"},
      {"escaped NUL in names", notifierGet("getNotification", "&fn=Anna%00&ln=Schmidt")},
      {"escaped NUL as the id", notifierGet("archiveNotification", "&id=1%00")},
      {"10 KB names", notifierGet("getNotification", "&fn=" + tenKilobytes + "&ln=" + tenKilobytes)},
      {"10 KB id", notifierGet("archiveNotification", "&id=" + std::string(10 * 1024, '1'))},
      {"10 KB key", "GET /api/reception/listUsers?key=" + tenKilobytes + " HTTP/1.0\r\n\r\n"},
      {"request line without target or version", "GET\r\n\r\n"},
      {"garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(500, '\xee') + "\r\n\r\n"},
  };
  auto postJson = [&desk](const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.0\r\n" + desk + "Content-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string guests = "/api/desk/notifications", staff = "/api/desk/staff";
  const std::string staffId = R"({"staffId": )" + std::to_string(anna) + ", ";
  struct Post {
    const char* name;
    const std::string& target;
    std::string body;
  };
  for (const Post& post : std::vector<Post>{
           {"10 KB guest name", guests, staffId + R"("guestName": ")" + tenKilobytes + R"("})"},
           {"10 KB note", guests, staffId + R"("guestName": "Ada", "note": ")" + tenKilobytes + R"("})"},
           {"escaped NUL in a guest name", guests, staffId + R"("guestName": "A\u0000B"})"},
           {"raw NUL in a body", guests, staffId + R"("guestName": "A)" + nul + R"(B"})"},
           {"SQL as the staff id", guests, R"({"staffId": "1 OR 1=1", "guestName": "Ada"})"},
           {"deeply nested JSON", guests, std::string(5000, '[') + std::string(5000, ']')},
           {"10 KB staff name", staff, R"({"firstName": ")" + tenKilobytes + R"(", "lastName": "x"})"},
           {"SQL in a name with \"=\"", staff, R"({"name": "Robert'); DELETE FROM staff WHERE 1=1;--"})"},
           {"separators in a name", staff, R"({"firstName": "A,B", "lastName": "C|D"})"},
       }) {
    requests.emplace_back(post.name, postJson(post.target, post.body));
  }

  for (const auto& [name, request] : requests) EXPECT_TRUE(refusedOrEmpty(raw(request))) << name;
  // libmicrohttpd hands the target and header values over as C strings: a raw
  // NUL cuts them short, and the request is answered as its part before the NUL.
  const std::string listUsers = "GET /api/reception/listUsers" + keyed;
  EXPECT_EQ(raw(listUsers + nul + "&x=y HTTP/1.0\r\n\r\n").body, "Anna Schmidt");
  EXPECT_EQ(raw(listUsers + " HTTP/1.0\r\nX-A: a" + nul + "b\r\n\r\n").body, "Anna Schmidt");
  EXPECT_EQ(raw("POST /api/desk/notifications" + nul + "/1/archive HTTP/1.0\r\n" + desk + "Content-Type: application/json\r\n"
                "Content-Length: 0\r\n\r\n").status,
            400);

  EXPECT_EQ(schemaAndCounts(), before);
  EXPECT_EQ(DatabaseView(databasePath()).value("PRAGMA integrity_check"), "ok");
  // Still serving as before.
  EXPECT_EQ(get("/api/reception/listUsers" + keyed).body, "Anna Schmidt");
  std::printf("%zu malformed requests tried\n", requests.size() + 3);
}

TEST_F(MalformedRequestTest, StoredValuesWithMetaCharactersRoundTripByteForByte) {
  // Accepted by the desk's rules, yet full of what SQL, URLs, JSON and HTML treat specially.
  const std::string first = "O'Brien;--\"%27+&?#\\";  // no "=": names refuse it
  const std::string last = "Ren\xC3\xA9<b>\xE2\x82\xAC";
  const std::string headline = "Robert'); DROP TABLE notification;-- %00 \\\" \xC3\xA9";
  const std::string notePrefix = "\xE2\x82\xAC 100% <script>x</script> ' \" ; -- /* */ ";
  // Exactly the longest note: the euro sign is one character of three bytes.
  const std::string note = notePrefix + std::string(120 - (notePrefix.size() - 2), 'n');

  std::int64_t staff = addStaffMember(first, last);
  ASSERT_GT(staff, 0);
  std::int64_t guest = announce(staff, headline, note);
  ASSERT_GT(guest, 0);

  // The desk reads back the UTF-8 exactly.
  json state = this->state();
  bool staffFound = false, guestFound = false;
  for (const json& row : state["staff"]) {
    if (row["id"] != staff) continue;
    staffFound = true;
    EXPECT_EQ(row["firstName"], first);
    EXPECT_EQ(row["lastName"], last);
  }
  for (const json& row : state["notifications"]) {
    if (row["id"] != guest) continue;
    guestFound = true;
    EXPECT_EQ(row["guestName"], headline);
    EXPECT_EQ(row["note"], note);
  }
  EXPECT_TRUE(staffFound && guestFound);

  // Notifiers get the code-page bytes exactly, and find the staff member by them.
  const std::string lastInCodePage = "Ren\xE9<b>\x80";
  EXPECT_EQ(get("/api/reception/listUsers" + keyed).body, first + " " + lastInCodePage);
  RawReply polled = get("/api/reception/getNotification" + keyed + "&fn=" + encodeQueryValue(first) +
                        "&ln=" + encodeQueryValue(lastInCodePage));
  NotificationList list;
  decodeNotifications(polled.body.c_str(), list);
  ASSERT_EQ(list.size(), 1u) << polled.body;
  EXPECT_EQ(list[0].id, std::to_string(guest));
  EXPECT_EQ(list[0].headline, "Robert'); DROP TABLE notification;-- %00 \\\" \xE9");
  EXPECT_EQ(list[0].detail, "\x80" + note.substr(3));
  // And the stored bytes themselves are the UTF-8 that was sent.
  DatabaseView database(databasePath());
  EXPECT_EQ(database.value("SELECT hex(first_name) || hex(last_name) FROM staff WHERE id = " + std::to_string(staff)),
            hexOf(first + last));
  EXPECT_EQ(database.value("SELECT hex(headline) || hex(detail) FROM notification WHERE id = " + std::to_string(guest)),
            hexOf(headline + note));
}
