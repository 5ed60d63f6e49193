// The directory sync against a real slapd on loopback: a generated
// configuration, Active Directory's size limit of 1,000 without paging,
// and StartTLS with a certificate made here.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "store/audit.h"
#include "store/clock.h"
#include "store/directory_sync_state.h"
#include "store/leadership.h"
#include "directory/directory_sync.h"
#include "directory/directory_worker.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "reception_test_support.h"

namespace {

namespace fs = std::filesystem;
const char suffix[] = "dc=example,dc=org";
const char rootDn[] = "cn=admin,dc=example,dc=org";
const char readerDn[] = "cn=reader,dc=example,dc=org";

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool portIsFree(std::uint16_t port) {
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return free;
}

bool accepts(std::uint16_t port) {
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(client);
  return connected;
}

// People uid=p0000 and on; those numbered below matching have a givenName,
// and so match the default filter.
std::string peopleLdif(int count, int matching) {
  std::string ldif = std::string("dn: ") + suffix + "\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n"
                     "dn: ou=people," + suffix + "\nobjectClass: organizationalUnit\nou: people\n\n"
                     "dn: " + readerDn + "\nobjectClass: organizationalRole\nobjectClass: simpleSecurityObject\ncn: reader\n"
                     "userPassword: reader-pass\n\n";
  for (int i = 0; i < count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", i);
    ldif += std::string("dn: uid=p") + number + ",ou=people," + suffix + "\nobjectClass: inetOrgPerson\nuid: p" + number +
            "\ncn: Person " + number + "\nsn: Lee" + number + "\nmail: p" + number + "@example.org\n";
    if (i < matching) ldif += std::string("givenName: Ann") + number + "\n";
    ldif += "\n";
  }
  return ldif;
}

// slapd as a child of the test, stopped by its id.
class Slapd {
 public:
  explicit Slapd(const fs::path& folder) : folder_(folder) {}
  ~Slapd() { stop(); }

  // Makes the certificates and the configuration, and starts slapd on a free port.
  bool start() {
    if (!run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
             "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout key.pem -out cert.pem") ||
        !run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
             "-addext subjectAltName=IP:127.0.0.1 -keyout other-key.pem -out other-ca.pem")) {
      return false;
    }
    for (const char* schema : {"core", "cosine", "inetorgperson"}) {
      fs::copy_file(std::string("/etc/ldap/schema/") + schema + ".schema", folder_ / (std::string(schema) + ".schema"));
    }
    fs::create_directories(folder_ / "db");
    writeFile(folder_ / "slapd.conf", configuration());
    if (!run("slaptest -u -f slapd.conf")) return false;
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
      port = static_cast<std::uint16_t>(20000 + random() % 12000);
      if (portIsFree(port) && launch()) return true;
    }
    return false;
  }

  // Runs a shell command in the folder, with the test's CA for ldap tools; true on exit 0.
  bool run(const std::string& command) const {
    std::string line = "cd '" + folder_.string() + "' && LDAPTLS_CACERT=cert.pem " + command + " >>tools.log 2>&1";
    return std::system(line.c_str()) == 0;
  }
  bool load(const std::string& tool, const std::string& ldif) const {
    writeFile(folder_ / "change.ldif", ldif);
    return run(tool + " -x -ZZ -H " + url() + " -D " + rootDn + " -w secret -f change.ldif");
  }

  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(port); }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

  std::uint16_t port = 0;

 private:
  std::string configuration() const {
    std::string at = folder_.string() + "/";
    return "include " + at + "core.schema\ninclude " + at + "cosine.schema\ninclude " + at + "inetorgperson.schema\n" +
           "pidfile " + at + "slapd.pid\nargsfile " + at + "slapd.args\nmodulepath /usr/lib/ldap\nmoduleload back_mdb\n" +
           "TLSCACertificateFile " + at + "cert.pem\nTLSCertificateFile " + at + "cert.pem\n" +
           "TLSCertificateKeyFile " + at + "key.pem\n" +
           // Every bind needs TLS: a sync that skipped StartTLS would fail.
           "security tls=1\n"
           "database mdb\nmaxsize 268435456\nsuffix \"" + suffix + "\"\nrootdn \"" + rootDn + "\"\nrootpw secret\n" +
           "directory " + at + "db\ndbnosync\nindex objectClass eq\n" +
           // Active Directory's 1,000 entries at most without paging.
           "limits * size.soft=1000 size.hard=1000 size.pr=500 size.prtotal=unlimited\n";
  }

  bool launch() {
    std::string listen = "ldap://127.0.0.1:" + std::to_string(port) + "/";
    std::string config = (folder_ / "slapd.conf").string();
    std::string log = (folder_ / "slapd.log").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      std::FILE* out = std::freopen(log.c_str(), "a", stderr);
      if (out == nullptr) ::_exit(126);
      ::execl("/usr/sbin/slapd", "slapd", "-f", config.c_str(), "-h", listen.c_str(), "-d", "256", nullptr);
      ::_exit(127);
    }
    // Ready when it accepts connections; at most 10 s, or until it exits (the port was taken).
    for (int waited = 0; waited < 1000; ++waited) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      if (accepts(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
  }

  fs::path folder_;
  pid_t pid_ = -1;
};

class DirectorySlapdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/sbin/slapd")) GTEST_SKIP() << "slapd is missing: run scripts/install-deps reception";
    ASSERT_TRUE(slapd_.start()) << readFile(directory_.path / "tools.log") << readFile(directory_.path / "slapd.log");
    writeFile(directory_.path / "reader.password", "reader-pass\n");
    writeFile(directory_.path / "wrong.password", "reader-pas\n");
  }

  std::vector<std::string> syncArguments(const std::vector<std::string>& extra) const {
    std::vector<std::string> arguments = {"directory-sync",       "--database",      "reception.db",
                                          "--ldap-url",           slapd_.url(),      "--ldap-ca-file",
                                          "cert.pem",             "--ldap-bind-dn",  readerDn,
                                          "--ldap-bind-password-file", "reader.password", "--ldap-base",
                                          std::string("ou=people,") + suffix};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }
  // Runs directory-sync; its exit code, with its output in output_.
  int sync(const std::vector<std::string>& extra = {}) {
    int status = runService(syncArguments(extra), directory_.path, output_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // One value from the database the command writes.
  std::string value(const std::string& sql) const {
    sqlite3* file = nullptr;
    std::string text;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open((directory_.path / "reception.db").c_str(), &file) == SQLITE_OK &&
        sqlite3_prepare_v2(file, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW &&
        sqlite3_column_text(statement, 0) != nullptr) {
      text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(file);
    return text;
  }
  std::string activeCount() const { return value("SELECT count(*) FROM staff WHERE removed_at IS NULL"); }

  TemporaryDirectory directory_;
  Slapd slapd_{directory_.path};
  std::string output_;
};

}  // namespace

TEST_F(DirectorySlapdTest, PagedStartTlsSyncKeepsStaffInStepAndChangesNothingOnFailure) {
  ASSERT_TRUE(slapd_.load("ldapadd", peopleLdif(2500, 1800))) << readFile(directory_.path / "tools.log");
  ASSERT_EQ(sync({"--dry-run"}), 0) << output_;
  EXPECT_NE(output_.find("added 1800, updated 0, deactivated 0, unchanged 0, rejected 0"), std::string::npos) << output_;
  EXPECT_NE(output_.find("\nwould be added: Ann0000 Lee0000\n"), std::string::npos) << "each change per person";
  EXPECT_FALSE(fs::exists(directory_.path / "reception.db")) << "a dry run makes no database";

  // More than the server's size limit of 1,000: read in pages.
  ASSERT_EQ(sync(), 0) << output_;
  EXPECT_NE(output_.find("added 1800, updated 0, deactivated 0, unchanged 0, rejected 0"), std::string::npos) << output_;
  EXPECT_EQ(activeCount(), "1800");
  std::string renamedId = value("SELECT id FROM staff WHERE display_name = 'Ann0001 Lee0001'");
  EXPECT_EQ(value("SELECT email FROM staff WHERE display_name = 'Ann0002 Lee0002'"), "p0002@example.org");

  // One changed mail, one rename (a new RDN and a new sn), one deletion, one moved out of the filter.
  std::string people = std::string(",ou=people,") + suffix;
  ASSERT_TRUE(slapd_.load("ldapmodify",
                          "dn: uid=p0002" + people + "\nchangetype: modify\nreplace: mail\nmail: ann.new@example.org\n\n"
                          "dn: uid=p0001" + people + "\nchangetype: modrdn\nnewrdn: uid=renamed\ndeleteoldrdn: 1\n\n"
                          "dn: uid=renamed" + people + "\nchangetype: modify\nreplace: sn\nsn: Smith\n\n"
                          "dn: uid=p0003" + people + "\nchangetype: delete\n\n"
                          "dn: uid=p0004" + people + "\nchangetype: modify\ndelete: givenName\n"))
      << readFile(directory_.path / "tools.log");
  ASSERT_EQ(sync(), 0) << output_;
  EXPECT_NE(output_.find("added 0, updated 2, deactivated 2, unchanged 1796, rejected 0"), std::string::npos) << output_;
  for (const char* line : {"\nupdated: Ann0001 Lee0001 -> Ann0001 Smith\n", "\nupdated: Ann0002 Lee0002 (new mail)\n",
                           "\ndeactivated: Ann0003 Lee0003\n"}) {
    EXPECT_NE(output_.find(line), std::string::npos) << line << output_;
  }
  EXPECT_EQ(value("SELECT id FROM staff WHERE display_name = 'Ann0001 Smith' AND removed_at IS NULL"), renamedId);
  EXPECT_EQ(value("SELECT email FROM staff WHERE display_name = 'Ann0002 Lee0002'"), "ann.new@example.org");
  EXPECT_EQ(value("SELECT count(*) FROM staff WHERE removed_at IS NOT NULL"), "2") << "deactivated, not deleted";
  std::string audited = value("SELECT count(*) FROM audit_log WHERE action = 'directory-sync'");
  EXPECT_EQ(audited, "2");

  // Failures change nothing and exit 1: a CA that did not sign the server's
  // certificate, a wrong password, and skipping StartTLS on a server that needs it.
  std::string before = value("SELECT group_concat(id || display_name || coalesce(removed_at, '')) FROM staff");
  EXPECT_EQ(sync({"--ldap-ca-file", "other-ca.pem"}), 1) << output_;
  EXPECT_EQ(sync({"--ldap-bind-password-file", "wrong.password"}), 1) << output_;
  EXPECT_NE(output_.find("Invalid credentials"), std::string::npos) << output_;
  EXPECT_EQ(output_.find("reader-pas"), std::string::npos) << "the password is never shown";
  EXPECT_EQ(sync({"--ldap-tls", "none"}), 1) << output_;
  EXPECT_EQ(value("SELECT count(*) FROM audit_log WHERE action = 'directory-sync-failed'"), "3");
  // More people than --ldap-max-entries: the read stops there and nothing changes.
  EXPECT_EQ(sync({"--ldap-max-entries", "1000"}), 1) << output_;
  EXPECT_NE(output_.find("more than 1000 entries under the base and filter (--ldap-max-entries)"), std::string::npos)
      << output_;

  // A filter that would deactivate everyone stops at the safety check, unless forced.
  EXPECT_EQ(value("SELECT group_concat(id || display_name || coalesce(removed_at, '')) FROM staff"), before);
  EXPECT_EQ(sync({"--ldap-filter", "(sn=Nobody)"}), 3) << output_;
  EXPECT_NE(output_.find("nothing changed; the sync would have: added 0, updated 0, deactivated 1798"), std::string::npos)
      << output_;
  EXPECT_NE(output_.find("\nwould be deactivated: "), std::string::npos) << output_;
  EXPECT_EQ(output_.find("\ndeactivated: "), std::string::npos) << "no one was: " << output_;
  EXPECT_EQ(value("SELECT group_concat(id || display_name || coalesce(removed_at, '')) FROM staff"), before);
  EXPECT_EQ(sync({"--ldap-filter", "(uid=p0005)", "--force"}), 0) << output_;
  EXPECT_EQ(activeCount(), "1");
  EXPECT_EQ(sync({"--ldap-sync-minutes", "x"}), 2) << output_;
}

// The desk's panel: Sync now and Preview run on the directory's worker and
// their results come back in the state.
class DirectoryDeskTest : public InProcessServiceTest {};

namespace {

// The running service's options for the test directory, whose CA and
// reader's password are in folder.
DirectoryOptions workerOptions(const Slapd& slapd, const fs::path& folder) {
  DirectoryOptions options;
  options.url = slapd.url();
  options.caFile = (folder / "cert.pem").string();
  options.bindDn = readerDn;
  options.passwordFile = (folder / "reader.password").string();
  options.base = suffix;
  return options;
}

// Ends the directory worker a test started, however the test ends.
struct StopWorker {
  ~StopWorker() { stopDirectoryWorker(); }
};

}  // namespace

TEST_F(DirectoryDeskTest, SyncNowAndPreviewRunOnTheWorker) {
  if (!fs::exists("/usr/sbin/slapd")) GTEST_SKIP() << "slapd is missing: run scripts/install-deps reception";
  TemporaryDirectory ldapFolder;
  Slapd slapd(ldapFolder.path);
  ASSERT_TRUE(slapd.start()) << readFile(ldapFolder.path / "tools.log");
  ASSERT_TRUE(slapd.load("ldapadd", peopleLdif(4, 3)));
  writeFile(ldapFolder.path / "reader.password", "reader-pass");
  startService();
  EXPECT_EQ(post("/api/desk/directory-sync", "{}").status, 409) << "no directory is set";
  // A sync run by directory-sync on the command line is shown from the database.
  ASSERT_EQ(recordAudit("(command line)", "", "directory-sync", "added 9, updated 0, deactivated 0, unchanged 0, rejected 0"),
            Outcome::ok);
  nlohmann::json recorded = nlohmann::json::parse(get("/api/desk/directory-sync").body)["lastRecordedSync"];
  EXPECT_EQ(recorded["by"], "(command line)");
  EXPECT_EQ(recorded["outcome"], "applied");
  EXPECT_EQ(recorded["summary"], "added 9, updated 0, deactivated 0, unchanged 0, rejected 0");

  DirectoryOptions options = workerOptions(slapd, ldapFolder.path);
  startDirectoryWorker(options);
  StopWorker stopWorker;
  // A result other than the one before, once nothing runs or waits.
  auto waitForResult = [&](const char* which, const nlohmann::json& before = nullptr) {
    for (int polls = 0; polls < 300; ++polls) {  // at most 15 s
      nlohmann::json state = nlohmann::json::parse(get("/api/desk/directory-sync").body);
      if (!state[which].is_null() && state[which] != before && !state["running"].get<bool>() &&
          !state["queued"].get<bool>()) {
        return state[which];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nlohmann::json();
  };
  ASSERT_EQ(post("/api/desk/directory-sync", R"({"dryRun": true})").status, 202);
  nlohmann::json preview = waitForResult("lastPreview");
  EXPECT_EQ(preview["outcome"], "previewed") << preview.dump();
  EXPECT_EQ(preview["changes"]["added"], (nlohmann::json{"Ann0000 Lee0000", "Ann0001 Lee0001", "Ann0002 Lee0002"}));
  EXPECT_EQ(state()["staff"].size(), 0u);

  ASSERT_EQ(post("/api/desk/directory-sync", R"({"dryRun": false})").status, 202);
  nlohmann::json applied = waitForResult("lastSync");
  EXPECT_EQ(applied["summary"], "added 3, updated 0, deactivated 0, unchanged 0, rejected 0") << applied.dump();
  EXPECT_EQ(state()["staff"].size(), 3u);
  std::string metrics = metricsText(std::nullopt);
  const std::string lastSuccess = "\nvestibra_directory_sync_last_success_timestamp_seconds ";
  ASSERT_NE(metrics.find(lastSuccess), std::string::npos) << metrics;
  EXPECT_EQ(std::stoll(metrics.substr(metrics.find(lastSuccess) + lastSuccess.size())), applied["at"].get<std::int64_t>() / 1000);
  EXPECT_EQ(post("/api/desk/directory-sync", R"({"dryRun": "yes"})").status, 400);

  // On a schedule the first sync runs at once, audited as the scheduler's.
  stopDirectoryWorker();
  ASSERT_TRUE(slapd.load("ldapmodify", std::string("dn: uid=p0003,ou=people,") + suffix +
                                           "\nchangetype: modify\nadd: givenName\ngivenName: Cy\n"));
  options.syncMinutes = 60;
  startDirectoryWorker(options);
  nlohmann::json scheduled = waitForResult("lastSync", applied);
  EXPECT_EQ(scheduled["summary"], "added 1, updated 0, deactivated 0, unchanged 3, rejected 0") << scheduled.dump();
  std::vector<AuditEntry> audited;
  ASSERT_EQ(auditPage(std::nullopt, 1, audited), Outcome::ok);
  ASSERT_EQ(audited.size(), 1u);
  EXPECT_EQ(audited[0].account, "(scheduled)");
  EXPECT_EQ(audited[0].action, "directory-sync");
  EXPECT_EQ(nlohmann::json::parse(get("/api/desk/directory-sync").body)["lastRecordedSync"]["by"], "(scheduled)");
}

// Two instances on one database, as behind a load balancer: this process
// and the service as a process of its own, both with the directory. What
// one shows of the panel, the other shows; one request waits across both;
// a mark left by an instance that died holds nothing up.
TEST_F(DirectoryDeskTest, TwoInstancesShowOneStateAndQueueOneRequestBetweenThem) {
  if (!fs::exists("/usr/sbin/slapd")) GTEST_SKIP() << "slapd is missing: run scripts/install-deps reception";
  TemporaryDirectory ldapFolder;
  Slapd slapd(ldapFolder.path);
  ASSERT_TRUE(slapd.start()) << readFile(ldapFolder.path / "tools.log");
  ASSERT_TRUE(slapd.load("ldapadd", peopleLdif(4, 3)));
  writeFile(ldapFolder.path / "reader.password", "reader-pass");
  startService();
  DirectoryOptions options = workerOptions(slapd, ldapFolder.path);
  startDirectoryWorker(options);
  StopWorker stopWorker;
  ServiceProcess other;
  ASSERT_TRUE(other.start({"--listen", "127.0.0.1:0", "--database", database_, "--ldap-url", options.url,
                           "--ldap-ca-file", options.caFile, "--ldap-bind-dn", readerDn, "--ldap-bind-password-file",
                           options.passwordFile, "--ldap-base", suffix},
                          directory_.path))
      << other.output;
  ASSERT_EQ(get("/api/desk/directory-sync").status, 200);  // the session, kept in the database, serves both
  auto onOther = [&](const std::string& method, const std::string& body = "") {
    return send11(other.host, other.port, method, "/api/desk/directory-sync", body, "application/json", adminCookie_);
  };
  auto stateHere = [&] { return nlohmann::json::parse(get("/api/desk/directory-sync").body); };
  auto stateThere = [&] { return nlohmann::json::parse(onOther("GET").body); };
  auto waitForResult = [&](const std::function<nlohmann::json()>& stateOf, const char* which) {
    for (int polls = 0; polls < 300; ++polls) {  // at most 15 s
      nlohmann::json state = stateOf();
      if (!state[which].is_null() && !state["running"].get<bool>() && !state["queued"].get<bool>()) return state[which];
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nlohmann::json();
  };

  // A preview asked on the other instance is shown here, the same.
  ASSERT_EQ(onOther("POST", R"({"dryRun": true})").status, 202);
  nlohmann::json preview = waitForResult(stateHere, "lastPreview");
  EXPECT_EQ(preview["changes"]["added"], (nlohmann::json{"Ann0000 Lee0000", "Ann0001 Lee0001", "Ann0002 Lee0002"}))
      << preview.dump();
  EXPECT_EQ(stateThere()["lastPreview"], preview);

  // While a third instance runs a sync, a request here waits for it, and a
  // second one is refused on either instance.
  ASSERT_EQ(startDirectorySync("third", "(scheduled)", false, currentTimeMs()), Outcome::ok);
  ASSERT_EQ(post("/api/desk/directory-sync", R"({"dryRun": false})").status, 202);
  EXPECT_EQ(onOther("POST", R"({"dryRun": true})").status, 409);
  EXPECT_EQ(post("/api/desk/directory-sync", R"({"dryRun": true})").status, 409);
  std::this_thread::sleep_for(std::chrono::milliseconds(leaderRetryMs + 500));  // this worker has tried again
  nlohmann::json waiting = stateThere();
  EXPECT_TRUE(waiting["running"].get<bool>() && waiting["queued"].get<bool>()) << waiting.dump();
  EXPECT_EQ(state()["staff"].size(), 0u) << "not run beside the third instance's sync";

  // That instance dies: once its mark is older than the bound, the request runs,
  // and its result is the other instance's lastSync too.
  ASSERT_EQ(startDirectorySync("third", "(scheduled)", false, currentTimeMs() - directorySyncMarkLifetimeMs - 1000),
            Outcome::ok);
  nlohmann::json applied = waitForResult(stateThere, "lastSync");
  EXPECT_EQ(applied["summary"], "added 3, updated 0, deactivated 0, unchanged 0, rejected 0") << applied.dump();
  EXPECT_EQ(state()["staff"].size(), 3u);

  // A request a dead instance took and never ran does not hold up the next.
  ASSERT_EQ(queueDirectorySync("third", "test-admin", currentTimeMs() - directorySyncMarkLifetimeMs - 1000), Outcome::ok);
  EXPECT_FALSE(stateHere()["queued"].get<bool>());
  ASSERT_EQ(onOther("POST", R"({"dryRun": true})").status, 202);
  nlohmann::json second = waitForResult(stateHere, "lastPreview");
  EXPECT_NE(second, preview);
  EXPECT_EQ(second["summary"], "added 0, updated 0, deactivated 0, unchanged 3, rejected 0") << second.dump();

  // A sync that fails leaves no mark behind: its failure is shown and the next request is taken.
  slapd.stop();
  ASSERT_EQ(onOther("POST", R"({"dryRun": false})").status, 202);
  auto newerSync = [&] {
    nlohmann::json state = stateHere();
    if (state["lastSync"] == applied) state["lastSync"] = nullptr;
    return state;
  };
  EXPECT_EQ(waitForResult(newerSync, "lastSync")["outcome"], "unreachable");
  EXPECT_EQ(post("/api/desk/directory-sync", R"({"dryRun": true})").status, 202);
}

// Hosts sign in to their page with the directory password: a bind as their
// own entry, found by the login attribute the sync keeps.
class HostDirectoryLoginTest : public InProcessServiceTest {
 protected:
  void TearDown() override {
    if (serving_) stopHttpServer();
    serving_ = false;
    InProcessServiceTest::TearDown();
  }
};

TEST_F(HostDirectoryLoginTest, AMemberSignsInWithTheDirectoryPasswordAndIsSignedOutWhenDeactivated) {
  if (!fs::exists("/usr/sbin/slapd")) GTEST_SKIP() << "slapd is missing: run scripts/install-deps reception";
  TemporaryDirectory ldapFolder;
  Slapd slapd(ldapFolder.path);
  ASSERT_TRUE(slapd.start()) << readFile(ldapFolder.path / "tools.log");
  std::string people = std::string(",ou=people,") + suffix;
  ASSERT_TRUE(slapd.load("ldapadd", peopleLdif(3, 3)));
  ASSERT_TRUE(slapd.load("ldapmodify", "dn: uid=p0001" + people + "\nchangetype: modify\nadd: userPassword\n"
                                       "userPassword: ann-secret\n\n"
                                       "dn: uid=p0002" + people + "\nchangetype: modify\nadd: userPassword\n"
                                       "userPassword: bo-secret\n"));
  writeFile(ldapFolder.path / "reader.password", "reader-pass");
  DirectoryOptions options;
  options.url = slapd.url();
  options.caFile = (ldapFolder.path / "cert.pem").string();
  options.bindDn = readerDn;
  options.passwordFile = (ldapFolder.path / "reader.password").string();
  options.base = suffix;
  LdapSettings ldap;
  ASSERT_EQ(ldapSettingsFrom(options, ldap), "");
  ASSERT_EQ(syncDirectory(ldap, SyncRequest{false, false, "(test)", ""}).outcome, DirectorySyncOutcome::applied);

  settings_.host.directory.url = options.url;
  settings_.host.directory.caFile = options.caFile;
  startService();
  auto login = [&](const std::string& name, const std::string& password) {
    return send11(host_, port_, "POST", "/api/me/login", nlohmann::json{{"login", name}, {"password", password}}.dump());
  };
  RawReply wrongPassword = login("p0001", "ann-secreT");
  RawReply unknownLogin = login("nobody", "ann-secret");
  RawReply emptyPassword = login("p0001", "");
  for (const RawReply* refused : {&wrongPassword, &unknownLogin, &emptyPassword}) {
    EXPECT_EQ(refused->status, 401) << refused->body;
    EXPECT_EQ(refused->body, wrongPassword.body) << "one message for every refusal";
  }
  RawReply signedIn = login("P0001", "ann-secret");
  ASSERT_EQ(signedIn.status, 200) << signedIn.body;
  EXPECT_EQ(nlohmann::json::parse(signedIn.body)["name"], "Ann0001 Lee0001");
  std::string cookie = header(signedIn, "Set-Cookie");
  std::string cookieLine = "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
  EXPECT_EQ(send11(host_, port_, "GET", "/api/me/session", "", "", cookieLine).status, 200);
  std::string stored = readFile(directory_.path / "reception.db") + readFile(directory_.path / "reception.db-wal");
  EXPECT_EQ(stored.find("ann-secret"), std::string::npos) << "the password is never stored";

  // The entry leaves the directory: the next sync deactivates the member and ends the session.
  ASSERT_TRUE(slapd.load("ldapmodify", "dn: uid=p0001" + people + "\nchangetype: delete\n"));
  ASSERT_EQ(syncDirectory(ldap, SyncRequest{false, true, "(test)", ""}).outcome, DirectorySyncOutcome::applied);
  EXPECT_EQ(send11(host_, port_, "GET", "/api/me/session", "", "", cookieLine).status, 401);
  EXPECT_EQ(login("p0001", "ann-secret").status, 401);

  // The directory down: a right password is not called wrong, and the log
  // says which directory and why, once however many try.
  slapd.stop();
  forgetLoggedKeys();
  testing::internal::CaptureStderr();
  RawReply down = login("p0002", "bo-secret");
  EXPECT_EQ(login("p0002", "bo-secret").status, 503);
  std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_EQ(down.status, 503) << down.body;
  EXPECT_NE(down.body.find("the directory cannot be reached, try again or use a sign-in link"), std::string::npos)
      << down.body;
  EXPECT_FALSE(header(down, "Retry-After").empty());
  std::string line = "host sign-in: the directory " + options.url + " cannot be reached: ";
  ASSERT_NE(logged.find(line), std::string::npos) << logged;
  EXPECT_EQ(logged.find(line), logged.rfind(line)) << "once a minute: " << logged;
}
