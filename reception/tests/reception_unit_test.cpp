// The service's pure parts: query parsing, the code page layer, input
// checks, the command line and the notifier's record format.
#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include <gtest/gtest.h>

#include "text/code_page.h"
#include "desk/desk.h"
#include "rules/login_throttle.h"
#include "notifier/api.h"
#include "commands/options.h"
#include "http/query.h"
#include "http/client_network.h"
#include "http/forwarded_for.h"
#include "http/connection_slots.h"
#include "http/fair_queue.h"
#include "http/header_rules.h"
#include "http/request_guard.h"
#include "rules/validation.h"
#include "store/database_location.h"
#include "store/postgres_connection.h"
#include "text/log_stamp.h"

TEST(QueryParsing, DecodesPercentBytesAndKeepsMalformedEscapes) {
  EXPECT_EQ(percentDecode("Jos%E9%20M%fcller"), "Jos\xE9 M\xFCller");
  EXPECT_EQ(percentDecode("a+b"), "a b");
  EXPECT_EQ(percentDecode("a+b", false), "a+b");
  EXPECT_EQ(percentDecode("100%"), "100%");
  EXPECT_EQ(percentDecode("%4"), "%4");
  EXPECT_EQ(percentDecode("%zz%41"), "%zzA");
  EXPECT_EQ(percentDecode("%00x"), std::string("\0x", 2));
}

TEST(QueryParsing, SplitsTargetsIntoPathAndFirstValues) {
  RequestTarget target = parseRequestTarget("/api/reception/getNotification?key=k&fn=Jos%E9&&ln=&fn=Other&flag#frag");
  EXPECT_EQ(target.path, "/api/reception/getNotification");
  EXPECT_EQ(target.query.size(), 4u);
  EXPECT_EQ(queryValue(target.query, "fn"), "Jos\xE9");  // the first of two values
  EXPECT_EQ(queryValue(target.query, "ln"), "");
  EXPECT_EQ(queryValue(target.query, "flag"), "");
  EXPECT_FALSE(queryValue(target.query, "id").has_value());

  EXPECT_EQ(parseRequestTarget("/a%2Fb+c").path, "/a/b+c");
  EXPECT_TRUE(parseRequestTarget("/?").query.empty());
  EXPECT_EQ(queryValue(parseRequestTarget("/?%6Bey=v%3D1").query, "key"), "v=1");
}

TEST(CodePage, ConvertsBothWaysAndRefusesWhatTheCodePageLacks) {
  std::string converted;
  ASSERT_TRUE(toCodePage("José Müller €", converted));
  EXPECT_EQ(converted, "Jos\xE9 M\xFCller \x80");
  std::string back;
  ASSERT_TRUE(fromCodePage(converted, back));
  EXPECT_EQ(back, "José Müller €");

  EXPECT_FALSE(toCodePage("Łukasz", converted));
  EXPECT_FALSE(toCodePage("東京", converted));
  EXPECT_EQ(toCodePageLossy("Łódź Zoë"), "?\xF3" "d? Zo\xEB");
  // Bytes Windows-1252 leaves undefined cannot be read back.
  EXPECT_FALSE(fromCodePage("A\x81", back));

  EXPECT_TRUE(toCodePage("Müller", converted, "ISO-8859-15"));
  EXPECT_TRUE(isUsableCodePage("WINDOWS-1252"));
  EXPECT_TRUE(isUsableCodePage("CP850"));
  EXPECT_FALSE(isUsableCodePage("NO-SUCH-CODE-PAGE"));
  EXPECT_FALSE(isUsableCodePage("UTF-16"));  // not ASCII-compatible
}

TEST(CodePage, RejectsMalformedUtf8) {
  EXPECT_TRUE(isValidUtf8("plain, é, €, 😀"));
  EXPECT_FALSE(isValidUtf8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("caf\xC3"));           // cut short
  EXPECT_FALSE(isValidUtf8("\x80"));
  std::string converted;
  EXPECT_FALSE(toCodePage("caf\xE9", converted));  // Latin-1 bytes passed as UTF-8
}

TEST(StaffEntryParsing, AcceptsBothFormsAndTrims) {
  StaffEntry entry;
  EXPECT_EQ(parseStaffEntry(R"({"firstName": " José ", "lastName": "Müller"})", entry), "");
  EXPECT_EQ(entry.firstName, "José");
  EXPECT_EQ(entry.lastName, "Müller");
  EXPECT_EQ(parseStaffEntry(R"({"name": "Liam O'Brien"})", entry), "");
  EXPECT_EQ(entry.firstName, "Liam");
  EXPECT_EQ(entry.lastName, "O'Brien");
  std::string fortyChars(40, 'a');
  EXPECT_EQ(parseStaffEntry(R"({"firstName": ")" + fortyChars + R"(", "lastName": "B"})", entry), "");
  // Names as people write them: several words (runs of spaces made one), apostrophes, hyphens.
  for (const auto& [body, first, last] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {R"({"firstName": "Mary  Ann", "lastName": "d'Arcy-Smith"})", "Mary Ann", "d'Arcy-Smith"},
           {R"({"firstName": "Ludwig", "lastName": " van   Beethoven "})", "Ludwig", "van Beethoven"},
           {R"({"name": "Ann  Lee"})", "Ann", "Lee"},
           {R"({"name": "Jean-Luc van Damme"})", "Jean-Luc", "van Damme"}}) {
    EXPECT_EQ(parseStaffEntry(body, entry), "") << body;
    EXPECT_EQ(entry.firstName + "|" + entry.lastName, first + "|" + last) << body;
  }
}

// Notifiers send back the first two words of the name they were given.
TEST(StaffLookupName, IsTheFirstTwoWords) {
  for (const auto& [display, lookup] : std::vector<std::pair<std::string, std::string>>{
           {"Ann Lee", "Ann Lee"}, {"Mary Ann Lee", "Mary Ann"}, {"Ludwig van Beethoven", "Ludwig van"},
           {"Jean-Luc O'Neil", "Jean-Luc O'Neil"}, {"Solo", "Solo"}}) {
    EXPECT_EQ(lookupName(display), lookup) << display;
  }
}

TEST(StaffEntryParsing, RefusesNamesNotifiersCannotUse) {
  StaffEntry entry;
  auto refusal = [&](const std::string& body) { return parseStaffEntry(body, entry); };
  EXPECT_EQ(refusal(R"({"firstName": "Ann"})"), "The last name is missing.");
  EXPECT_EQ(refusal(R"({"firstName": "Mary\u00A0Ann", "lastName": "Lee"})"),
            "The first name must not contain non-breaking spaces.");
  EXPECT_EQ(refusal(R"({"firstName": "Ann", "lastName": "Lee|Smith"})"), "The last name must not contain \",\" or \"|\".");
  EXPECT_EQ(refusal(R"({"firstName": "Ann,", "lastName": "Lee"})"), "The first name must not contain \",\" or \"|\".");
  EXPECT_EQ(refusal(R"({"firstName": "Jean=Paul", "lastName": "Lee"})"), "The first name must not contain \"=\".");
  EXPECT_EQ(refusal(R"({"name": "Ann Lee=2"})"), "The last name must not contain \"=\".");
  EXPECT_EQ(refusal(R"({"firstName": "Ann\u0007", "lastName": "Lee"})"), "The first name must not contain control characters.");
  EXPECT_EQ(refusal(R"({"firstName": "Ann", "lastName": "L\u0085e"})"), "The last name must not contain control characters.");
  EXPECT_EQ(refusal(R"({"firstName": "Łukasz", "lastName": "Nowak"})"),
            "The first name contains \"Ł\", which notifiers using the code page WINDOWS-1252 cannot show.");
  EXPECT_EQ(refusal(R"({"firstName": ")" + std::string(41, 'a') + R"(", "lastName": "B"})"),
            "The first name is longer than 40 characters.");
  EXPECT_EQ(refusal(R"({"name": " Ann "})"), "The name must be a first and a last name separated by a space.");
  EXPECT_EQ(refusal(R"({"firstName": 5, "lastName": "Lee"})"), "Names must be JSON strings.");
  EXPECT_EQ(refusal(R"(["Ann", "Lee"])"), "The request body must be a JSON object.");
  EXPECT_EQ(refusal("{\"firstName\": \"Ann\""), "The request body is not valid JSON.");
  EXPECT_EQ(refusal("{\"firstName\": \"An\xFF\", \"lastName\": \"Lee\"}"), "The request body is not valid JSON.");
}

TEST(GuestEntryParsing, ChecksHostHeadlineAndNote) {
  GuestEntry entry;
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Zoë Brontë ", "note": ""})", entry), "");
  EXPECT_EQ(entry.staffId, 3);
  EXPECT_EQ(entry.headline, "Zoë Brontë");
  EXPECT_EQ(entry.detail, "");
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Ada"})", entry), "");

  const std::string chooseHost = "Choose the member of staff the guest is here to see.";
  EXPECT_EQ(parseGuestEntry(R"({"guestName": "Ada"})", entry), chooseHost);
  EXPECT_EQ(parseGuestEntry(R"({"staffId": "3", "guestName": "Ada"})", entry), chooseHost);
  EXPECT_EQ(parseGuestEntry(R"({"staffId": -1, "guestName": "Ada"})", entry), chooseHost);
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 1.5, "guestName": "Ada"})", entry), chooseHost);
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 18446744073709551615, "guestName": "Ada"})", entry), chooseHost);
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "  "})", entry), "The guest's name is missing.");
  // Commas and bars travel as look-alikes: allowed where the code page has those.
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Lovelace, Ada", "note": "Room 2|3, 10 o'clock"})", entry), "");
  EXPECT_EQ(entry.detail, "Room 2|3, 10 o'clock");
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Ada", "note": "Room 2|3"})", entry, "CP437"),
            "The note must not contain \",\" or \"|\" for notifiers using the code page CP437.");
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Ada", "note": "line\nbreak"})", entry),
            "The note must not contain control characters.");
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": ")" + std::string(61, 'g') + R"("})", entry),
            "The guest's name is longer than 60 characters.");
  EXPECT_EQ(parseGuestEntry(R"({"staffId": 3, "guestName": "Ada", "note": ")" + std::string(120, 'n') + R"("})", entry), "");
}

TEST(CommandLine, DefaultsAndEveryOption) {
  ReceptionOptions options;
  ASSERT_EQ(parseCommandLine({}, options), "");
  EXPECT_EQ(options.address, "127.0.0.1");
  EXPECT_EQ(options.port, 80);
  EXPECT_EQ(options.database, "reception.db");
  EXPECT_EQ(options.codePage, "WINDOWS-1252");
  EXPECT_TRUE(options.key.empty());
  EXPECT_EQ(options.maxConnectionsPerAddress, 32u);
  EXPECT_EQ(options.maxWaitingPerHost, 50);
  EXPECT_EQ(options.hostWritesPerSecond, 2u);
  EXPECT_EQ(options.invitationMailsPerHostPerDay, 50u);

  ASSERT_EQ(parseCommandLine({"--listen", "127.0.0.2:8080", "--database=x.db", "--key", "abc123", "--code-page",
                              "CP850", "--demo", "--max-connections-per-address", "4", "--max-waiting-per-host=10000",
                              "--host-writes-per-second", "7", "--invitation-mails-per-host-per-day=9"},
                             options),
            "");
  EXPECT_EQ(options.hostWritesPerSecond, 7u);
  EXPECT_EQ(options.invitationMailsPerHostPerDay, 9u);
  EXPECT_EQ(options.maxConnectionsPerAddress, 4u);
  EXPECT_EQ(options.maxWaitingPerHost, 10000);
  EXPECT_EQ(options.address, "127.0.0.2");
  EXPECT_EQ(options.port, 8080);
  EXPECT_EQ(options.database, "x.db");
  EXPECT_EQ(options.key, "abc123");
  EXPECT_EQ(options.codePage, "CP850");
  EXPECT_TRUE(options.demo);
  ASSERT_EQ(parseCommandLine({"--listen=*", "--port", "0"}, options), "");
  EXPECT_EQ(options.address, "*");
  EXPECT_EQ(options.port, 0);
}

TEST(CommandLine, ClearErrorsForBadOptions) {
  ReceptionOptions options;
  EXPECT_EQ(parseCommandLine({"--verbose"}, options), "unknown option \"--verbose\" (see --help)");
  EXPECT_EQ(parseCommandLine({"--database"}, options), "--database needs a value");
  EXPECT_EQ(parseCommandLine({"--port", "65536"}, options), "--port: \"65536\" is not a port number (0 to 65535)");
  EXPECT_EQ(parseCommandLine({"--listen", "127.0.0.1:http"}, options),
            "--listen: \"http\" is not a port number (0 to 65535)");
  EXPECT_EQ(parseCommandLine({"--listen", ":80"}, options), "--listen needs an address, for example 127.0.0.1:80");
  EXPECT_EQ(parseCommandLine({"--key", "a&b"}, options), "--key must be 1 to 128 letters, digits or -._~");
  EXPECT_EQ(parseCommandLine({"--demo=yes"}, options), "unknown option \"--demo=yes\" (see --help)");
  for (const char* count : {"0", "-1", "10001", "1e3", "", "99999999999"}) {
    EXPECT_EQ(parseCommandLine({"--max-waiting-per-host", count}, options),
              std::string("--max-waiting-per-host: \"") + count + "\" is not a number from 1 to 10000");
  }
  EXPECT_EQ(parseCommandLine({"--max-connections-per-address", "0"}, options),
            "--max-connections-per-address: \"0\" is not a number from 1 to 100000");
  EXPECT_EQ(parseCommandLine({"--host-writes-per-second", "1001"}, options),
            "--host-writes-per-second: \"1001\" is not a number from 1 to 1000");
  EXPECT_EQ(parseCommandLine({"-h"}, options), "");
  EXPECT_TRUE(options.help);
}

// Where --database points, what of it may be logged, and the SQL the store
// writes as PostgreSQL runs it.
TEST(DatabaseLocation, BackendPrintableFormAndStatementDialect) {
  ReceptionOptions options;
  ASSERT_EQ(parseCommandLine({"--database", "postgresql://v@db/r", "--database-password-file", "/etc/pw"}, options), "");
  EXPECT_EQ(options.databasePasswordFile, "/etc/pw");
  for (const auto& [location, postgres, shown] : std::vector<std::tuple<std::string, bool, std::string>>{
           {"reception.db", false, "reception.db"},
           {"postgresql:x.db", false, "postgresql:x.db"},
           {"postgres://v@db/r", true, "postgres://v@db/r"},
           {"postgresql://v:s3cret@db:5432/r?sslmode=require", true, "postgresql://v:***@db:5432/r?sslmode=require"},
           {"postgresql://db/r?user=v&password=s3cret&sslmode=verify-full", true,
            "postgresql://db/r?user=v&password=***&sslmode=verify-full"}}) {
    EXPECT_EQ(isPostgresLocation(location), postgres) << location;
    EXPECT_EQ(printableLocation(location), shown);
  }
  int parameters = 0;
  EXPECT_EQ(postgresSql("INSERT OR IGNORE INTO t (a, b) VALUES (?1, ?12)", parameters),
            "INSERT INTO t (a, b) VALUES ($1, $12) ON CONFLICT DO NOTHING");
  EXPECT_EQ(parameters, 12);
  EXPECT_EQ(postgresSql("SELECT 1 FROM s WHERE n LIKE ?1 AND note = 'LIKE ?2' AND unliked = 0", parameters),
            "SELECT 1 FROM s WHERE n ILIKE $1 AND note = 'LIKE ?2' AND unliked = 0");
  EXPECT_EQ(parameters, 1);
}

// Log lines start with their UTC time, unless standard error is the stream
// systemd's JOURNAL_STREAM names.
TEST(LogLines, TimeUnlessStandardErrorIsTheJournal) {
  EXPECT_EQ(logStampAt(1767355509123LL), "2026-01-02T12:05:09.123Z ");
  EXPECT_EQ(logStampAt(1767355509000LL), "2026-01-02T12:05:09.000Z ");
  const struct {
    const char* variable;
    bool journal;
  } streams[] = {{"2049:131077", true}, {"2049:131078", false}, {"2050:131077", false}, {nullptr, false},
                 {"", false},           {"2049", false},        {"2049:131077x", false}, {"x:131077", false}};
  for (const auto& stream : streams) {
    EXPECT_EQ(namesJournalStream(stream.variable, 2049, 131077), stream.journal) << (stream.variable ? stream.variable : "unset");
  }
}

TEST(NotifierRecords, LocalTimeOfDayAndStrictIds) {
  setenv("TZ", "CET-1", 1);
  tzset();
  // 2026-01-02 12:05:09 UTC is 13:05:09 in CET.
  EXPECT_EQ(notificationRecord(7, "Ada", "Room 2", 1767355509000LL), "7|Ada|Room 2|13|5|9");
  EXPECT_EQ(notificationRecord(8, "Ada", "", 1767355509999LL), "8|Ada||13|5|9");

  long long id = 0;
  EXPECT_TRUE(parseNotificationId("42", id));
  EXPECT_EQ(id, 42);
  EXPECT_TRUE(parseNotificationId("999999999999999999", id));
  EXPECT_FALSE(parseNotificationId("", id));
  EXPECT_FALSE(parseNotificationId("4a", id));
  EXPECT_FALSE(parseNotificationId("-4", id));
  EXPECT_FALSE(parseNotificationId(" 4", id));
  EXPECT_FALSE(parseNotificationId("1000000000000000000", id));
}

// Which Host headers name the service, and which requests come from another site or a browser.
TEST(RequestGuard, HostNamesOriginsAndBrowserHeaders) {
  DeskOrigin origin{serviceHostNames("192.168.1.5", {"Reception.Corp", "LB.example:8443", "[fd00::5]:9000"}),
                    {80, 443}, 0, nullptr};
  for (const char* host : {"localhost", "LocalHost:80", "127.0.0.1", "127.0.0.1:443", "[::1]", "[::1]:80",
                           "192.168.1.5", "reception.corp:80", "RECEPTION.CORP", "lb.example:8443", "[FD00::5]:9000"}) {
    EXPECT_TRUE(isServiceHost(host, origin)) << host;
  }
  for (const char* host : {"", "evil.example", "localhost:8080", "localhost:", "127.0.0.1.evil.example", "[::1",
                           "::1", "reception.corp.evil", ":80", "192.168.1.5:80:80", "lb.example", "lb.example:80",
                           "lb.example:8444", "reception.corp:8443", "[fd00::5]", "[fd00::5]:80"}) {
    EXPECT_FALSE(isServiceHost(host, origin)) << host;
  }
  for (const char* everyAddress : {"*", "0.0.0.0"}) {  // no name a browser could use
    std::vector<std::string> names = serviceHostNames(everyAddress, {});
    EXPECT_EQ(std::count(names.begin(), names.end(), everyAddress), 0);
  }

  ReceptionOptions options;
  EXPECT_EQ(parseCommandLine({"--host-name", "a.corp", "--host-name=b.corp", "--tls-cert", "c.pem", "--tls-key", "k.pem",
                              "--tls-listen", "0.0.0.0:8443", "--user", "vestibra"},
                             options),
            "");
  EXPECT_EQ(options.hostNames, (std::vector<std::string>{"a.corp", "b.corp"}));
  EXPECT_EQ(options.tlsAddress + ":" + std::to_string(options.tlsPort) + " " + options.user, "0.0.0.0:8443 vestibra");
  ReceptionOptions bad;
  EXPECT_EQ(parseCommandLine({"--tls-key", "k.pem"}, bad), "--tls-cert and --tls-key go together");
  EXPECT_EQ(parseCommandLine({"--tls-listen", "0.0.0.0:https"}, bad),
            "--tls-listen: \"https\" is not a port number (0 to 65535)");
  EXPECT_EQ(parseCommandLine({"--user="}, bad), "--user needs a value");

  struct Case {
    const char* origin;  // nullptr: no Origin header
    const char* site;
    bool tls;
    bool crossSite;
  };
  for (const Case& c : {Case{nullptr, "", false, false}, Case{"http://desk:80", "same-origin", false, false},
                        Case{"HTTP://DESK:80", "", false, false}, Case{"https://desk:80", "", true, false},
                        Case{"https://desk:80", "", false, true}, Case{"http://desk:80", "", true, true},
                        Case{"http://desk", "", false, true}, Case{"null", "", false, true},
                        Case{"http://evil.example", "", false, true}, Case{nullptr, "cross-site", false, true},
                        Case{nullptr, "same-site", false, false}}) {
    HttpRequest request;
    request.host = "desk:80";
    request.hasOrigin = c.origin != nullptr;
    request.origin = c.origin ? c.origin : "";
    request.secFetchSite = c.site;
    request.overTls = c.tls;
    EXPECT_EQ(isCrossSiteWrite(request), c.crossSite) << (c.origin ? c.origin : "-") << " " << c.site << c.tls;
  }
  HttpRequest notifier;
  noteHeader(notifier, "Host", "reception.corp");
  EXPECT_FALSE(sentByBrowser(notifier));
  notifier.hasFetchMetadata = true;
  EXPECT_TRUE(sentByBrowser(notifier));
  for (const char* name : {"User-Agent", "accept", "Referer", "Origin", "COOKIE", "Upgrade-Insecure-Requests", "Sec-Fetch-Mode",
                           "Sec-CH-UA", "sec-purpose"}) {
    EXPECT_TRUE(isBrowserHeader(name)) << name;
    HttpRequest browser;
    noteHeader(browser, name, "x");
    EXPECT_TRUE(sentByBrowser(browser)) << name;
  }
  for (const char* name : {"Host", "Accept-Language-X", "Connection", "Content-Length", "Secret", "X-Sec-Fetch"}) {
    EXPECT_FALSE(isBrowserHeader(name)) << name;
  }

  HttpRequest plain;
  plain.host = "desk:80";
  plain.target = "/api/desk/state?x=1";
  EXPECT_EQ(httpsLocation(plain, 443), "https://desk/api/desk/state?x=1");
  EXPECT_EQ(httpsLocation(plain, 8443), "https://desk:8443/api/desk/state?x=1");
  plain.cookie = "a=1; vestibra_session=abc ;b=2";
  EXPECT_EQ(sessionToken(plain), "abc");
  plain.cookie = "xvestibra_session=abc";
  EXPECT_EQ(sessionToken(plain), "");
  plain.cookie = "vestibra_session=a; __Host-vestibra_session=b; vestibra_session=c";
  EXPECT_EQ(sessionToken(plain), "a");
  EXPECT_EQ(sessionCookieCount(plain), 2u);
  plain.overTls = true;  // over HTTPS only the __Host- cookie counts, which no plain-HTTP page can set
  EXPECT_EQ(sessionToken(plain), "b");
  EXPECT_EQ(sessionCookieCount(plain), 1u);
}

// Three quarters of the connection slots for anyone; the last quarter only
// for addresses that hold fewer than four.
TEST(ConnectionSlots, TheLastQuarterIsForAddressesHoldingFew) {
  struct Case {
    unsigned open;
    unsigned held;
    bool admitted;
  };
  for (const Case& c : {Case{0, 0, true}, Case{3071, 31, true}, Case{3072, 3, true}, Case{3072, 4, false},
                        Case{4000, 0, true}, Case{4095, 3, true}, Case{4000, 31, false}}) {
    EXPECT_EQ(admitsConnection(c.open, c.held, 4096), c.admitted) << c.open << " open, " << c.held << " held";
  }
  ConnectionSlots slots;
  slots.setCapacity(8);  // 6 for anyone
  for (int i = 0; i < 4; ++i) slots.opened("10.0.0.1");
  slots.opened("10.0.0.2");
  slots.opened("10.0.0.2");
  EXPECT_FALSE(slots.admits("10.0.0.1"));
  EXPECT_TRUE(slots.admits("10.0.0.2"));
  slots.closed("10.0.0.2");
  EXPECT_TRUE(slots.admits("10.0.0.1"));
  slots.closed("10.0.0.9");  // never opened: no slot is given back
  EXPECT_TRUE(slots.admits("10.0.0.1"));
}

// Ten failures within fifteen minutes block one address; across addresses an
// account is only slowed, from fifty failures, and never locked.
TEST(LoginThrottle, TenFailuresInTheWindowBlockUntilTheOldestLeavesIt) {
  FailureLog log;
  const std::int64_t start = 1000000;
  for (int i = 0; i < 9; ++i) noteFailure(log, "Ann", "10.0.0.1", start + i * 1000);
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.1", start + 9000).retryAfterMs, 0);
  noteFailure(log, "bob", "10.0.0.1", start + 9000);  // the tenth from that address, on another account
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.1", start + 9000).retryAfterMs, loginWindowMs - 9000);
  EXPECT_EQ(judgeAttempt(log, "carl", "10.0.0.1", start + 9000).retryAfterMs, loginWindowMs - 9000);
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.2", start + 9000).retryAfterMs, 0);  // others are not locked out
  EXPECT_FALSE(judgeAttempt(log, "ann", "10.0.0.2", start + 9000).slowed);
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.1", start + loginWindowMs - 1).retryAfterMs, 1);
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.1", start + loginWindowMs).retryAfterMs, 0);
  // A failure after the window keeps the nine newest: one more blocks again.
  noteFailure(log, "ann", "10.0.0.1", start + loginWindowMs + 500);
  EXPECT_EQ(judgeAttempt(log, "ann", "10.0.0.1", start + loginWindowMs + 500).retryAfterMs, 500);

  FailureLog shared;
  for (int i = 0; i < 49; ++i) noteFailure(shared, "reception", "10.1.0." + std::to_string(i / 9), start + i);
  EXPECT_FALSE(judgeAttempt(shared, "reception", "10.2.0.1", start + 100).slowed);
  noteFailure(shared, "RECEPTION", "10.1.0.9", start + 49);
  LoginJudgement judged = judgeAttempt(shared, "reception", "10.2.0.1", start + 100);
  EXPECT_TRUE(judged.slowed);
  EXPECT_EQ(judged.retryAfterMs, 0);
  EXPECT_FALSE(judgeAttempt(shared, "reception", "10.2.0.1", start + loginWindowMs).slowed);
  EXPECT_FALSE(judgeAttempt(shared, "other", "10.2.0.1", start + 100).slowed);
  EXPECT_EQ(shared["account:reception"].size(), accountSlowdownFrom);  // never more kept than the rule reads
  for (int i = 0; i < 20; ++i) noteFailure(shared, "x" + std::to_string(i), "10.9.9.9", start);
  EXPECT_EQ(shared["address:10.9.9.9"].size(), addressFailureLimit);
}

// The hasher's queue: one waiting job per address; the address with fewer
// recent failures goes first, and takes the place of one with more when full.
TEST(FairQueue, FewerRecentFailuresGoFirstAndOneWaitsPerAddress) {
  FairQueue queue(2, 0);
  queue.start();
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  bool running = false;
  std::vector<std::string> order;
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(what);
    changed.notify_all();
  };
  auto job = [&](const std::string& name) {
    return [&, name](bool refused) {
      note(refused ? name + " refused" : name);
      return true;  // each counts as a failure
    };
  };
  ASSERT_EQ(queue.push("a", [&](bool) {
    std::unique_lock<std::mutex> lock(mutex);
    running = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    return true;
  }), FairQueue::Push::accepted);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return running; }));
  }
  EXPECT_EQ(queue.push("a", job("a2")), FairQueue::Push::accepted);  // the first is no longer waiting
  EXPECT_EQ(queue.push("a", job("a3")), FairQueue::Push::alreadyWaiting);
  EXPECT_EQ(queue.push("b", job("b")), FairQueue::Push::accepted);
  EXPECT_EQ(queue.push("c", job("c")), FairQueue::Push::full);  // as clean as the waiting ones: none gives way
  {
    std::unique_lock<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
    // "a" has failed once now; "b" goes before "a2", which came first.
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return order.size() == 2; }));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a2"}));
  queue.stop();
}

// One client is an IPv4 address or an IPv6 /64: for connection slots, the
// login queue and the throttle alike. When every slot is taken, a newcomer
// holding few takes the place of a slow request instead of being refused.
// Behind trusted load balancers the client is the rightmost forwarded
// address no trusted hop stands for; anyone else's X-Forwarded-For is ignored.
TEST(ForwardedFor, OnlyTrustedProxiesNameTheClient) {
  const std::vector<std::string> proxies = {"10.0.0.5", "10.0.0.6"};
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"10.0.0.5", "192.0.2.7", "192.0.2.7"},
      {"10.0.0.5", "203.0.113.1, 192.0.2.7", "192.0.2.7"},  // the client's own entry is left of the proxy's
      {"10.0.0.5", "192.0.2.7,10.0.0.6", "192.0.2.7"},      // two trusted hops
      {"10.0.0.5", "2001:db8::1", "2001:db8::1"},
      {"10.0.0.5", "", "10.0.0.5"},
      {"10.0.0.5", "192.0.2.7, unknown", "10.0.0.5"},       // not an address: the proxy itself
      {"10.0.0.5", "192.0.2.7:1234", "10.0.0.5"},
      {"192.0.2.9", "192.0.2.7", "192.0.2.9"},             // not a trusted proxy: its header is ignored
  };
  for (const auto& [peer, header, client] : cases) EXPECT_EQ(forwardedClient(peer, header, proxies), client) << header;
  EXPECT_EQ(forwardedClient("10.0.0.5", "192.0.2.7", {}), "10.0.0.5");
  ReceptionOptions options;
  EXPECT_EQ(parseCommandLine({"--trusted-proxy", "10.0.0.5", "--trusted-proxy", "::1"}, options), "");
  EXPECT_EQ(options.trustedProxies, (std::vector<std::string>{"10.0.0.5", "::1"}));
  EXPECT_EQ(parseCommandLine({"--trusted-proxy", "lb.example"}, options), "--trusted-proxy: \"lb.example\" is not an IP address");
}

TEST(ClientNetworks, Ipv6CountsPerSlash64AndAFullServerMakesRoom) {
  const std::pair<const char*, const char*> networks[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"2001:db8:1:2:a:b:c:d", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::ffff", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
      {"::ffff:198.51.100.4", "198.51.100.4"},
      {"fe80::1", "fe80::/64"},
      {"not an address", "not an address"},
  };
  for (const auto& [address, network] : networks) EXPECT_EQ(clientNetwork(address), network) << address;

  ConnectionSlots slots;
  slots.setCapacity(16, 3);
  for (const char* address : {"2001:db8::1", "2001:db8::2", "2001:db8::3"}) slots.opened(address);
  EXPECT_FALSE(slots.admits("2001:db8::4")) << "a fourth address of the same /64";
  EXPECT_TRUE(slots.admits("2001:db8:0:1::4"));
  FailureLog log;
  for (int i = 0; i < 10; ++i) noteFailure(log, "ann", clientNetwork("2001:db8::" + std::to_string(i + 1)), 1000 + i);
  EXPECT_GT(judgeAttempt(log, "ann", clientNetwork("2001:db8::ff"), 2000).retryAfterMs, 0)
      << "ten addresses of one /64 are one address to the throttle";

  EXPECT_EQ(admitConnection(4095, 3, 4096, 32), Admission::admit);
  EXPECT_EQ(admitConnection(4096, 0, 4096, 32), Admission::makeRoom);
  EXPECT_EQ(admitConnection(4200, 3, 4096, 32), Admission::makeRoom);
  EXPECT_EQ(admitConnection(4096, 4, 4096, 32), Admission::refuse) << "a busy address does not push others out";
  EXPECT_EQ(admitConnection(10, 32, 4096, 32), Admission::refuse);

  // A slot is held from the moment a connection is let in, not from when it
  // starts: threads accepting side by side never pass an address's limit.
  ConnectionSlots held;
  held.setCapacity(64, 2);
  EXPECT_EQ(held.reserve("10.0.0.1", "10.0.0.1 1001"), Admission::admit);
  EXPECT_EQ(held.reserve("10.0.0.1", "10.0.0.1 1002"), Admission::admit);
  EXPECT_EQ(held.reserve("10.0.0.1", "10.0.0.1 1003"), Admission::refuse) << "two let in, neither started yet";
  held.opened("10.0.0.1", "10.0.0.1 1001");
  held.opened("10.0.0.1", "10.0.0.1 1002");
  EXPECT_EQ(held.heldBy("10.0.0.1"), 2u) << "starting takes the hold over, it does not count again";
  held.closed("10.0.0.1");
  EXPECT_EQ(held.reserve("10.0.0.1", "10.0.0.1 1004"), Admission::admit);
  held.cancelHold("10.0.0.1 1004");  // the library dropped it before it started
  EXPECT_EQ(held.heldBy("10.0.0.1"), 1u);
  std::vector<std::thread> acceptors;
  std::atomic<int> admitted{0};
  for (int t = 0; t < 4; ++t) {
    acceptors.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::string endpoint = "10.0.0.7 " + std::to_string(t * 100 + i);
        if (held.reserve("10.0.0.7", endpoint) == Admission::admit) ++admitted;
      }
    });
  }
  for (std::thread& acceptor : acceptors) acceptor.join();
  EXPECT_EQ(admitted.load(), 2) << "four threads, 200 connections, a limit of two";
}

namespace {

bool isDeskPc(const std::string& key) { return key == "desk"; }

}  // namespace

// A key the service knows (the desk's PC) has places beyond the bound and
// goes first, unless it fails often itself.
TEST(FairQueue, KnownKeysHaveReservedPlacesAtTheHead) {
  FairQueue queue(2, 0);
  queue.setPreferred(&isDeskPc);
  queue.start();
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  bool running = false;
  std::vector<std::string> order;
  auto job = [&](const std::string& name, bool fails) {
    return [&, name, fails](bool refused) {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(refused ? name + " refused" : name);
      changed.notify_all();
      return fails;
    };
  };
  ASSERT_EQ(queue.push("blocker", [&](bool) {
    std::unique_lock<std::mutex> lock(mutex);
    running = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    return false;
  }), FairQueue::Push::accepted);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return running; }));
  }
  EXPECT_EQ(queue.push("new1", job("new1", true)), FairQueue::Push::accepted);
  EXPECT_EQ(queue.push("new2", job("new2", true)), FairQueue::Push::accepted);
  EXPECT_EQ(queue.push("new3", job("new3", true)), FairQueue::Push::full) << "no newcomer gives way to another";
  EXPECT_EQ(queue.push("desk", job("desk", false)), FairQueue::Push::accepted) << "a reserved place";
  {
    std::unique_lock<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return order.size() == 3; }));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"desk", "new1", "new2"}));
  queue.stop();
}
