#include "alerts/alert_sender.h"

#include <curl/curl.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>

namespace {

struct ListCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using List = std::unique_ptr<curl_slist, ListCloser>;

List appended(List list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return list;
  static_cast<void>(list.release());  // grown is the same list, longer: it owns it now
  return List(grown);
}

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

// Retry-After in seconds (the HTTP-date form is rare from webhooks: ignored).
size_t readRetryAfter(char* data, size_t size, size_t count, void* user) {
  std::string line(data, size * count);
  constexpr char name[] = "retry-after:";
  if (line.size() > sizeof name && strncasecmp(line.c_str(), name, sizeof name - 1) == 0) {
    std::string value = line.substr(sizeof name - 1);
    std::size_t digits = value.find_first_of("0123456789");
    if (digits != std::string::npos && value.find_first_not_of(" \t") == digits) {
      std::size_t end = value.find_first_not_of("0123456789", digits);
      std::string number = value.substr(digits, std::min<std::size_t>(end - digits, 9));
      *static_cast<std::optional<std::int64_t>*>(user) = std::stoll(number);
    }
  }
  return size * count;
}

size_t readUpload(char* buffer, size_t size, size_t count, void* user);

}  // namespace

// What one send needs to outlive its easy handle's use.
struct Transfer {
  CURL* easy = nullptr;
  bool mail = false;
  List headers;
  List recipients;
  std::string body;
  std::size_t sent = 0;  // of body, for a mail's upload
  std::optional<std::int64_t> retryAfter;
  long timeoutMs = sendTimeoutMs;
  std::int64_t id = 0;  // its lane's name for it
  const AlertTargetRule* rule = nullptr;  // a webhook's: where it may connect
  std::string refused;                    // why a connection was refused by the rule
  ~Transfer() { curl_easy_cleanup(easy); }
};

void TransferDeleter::operator()(Transfer* transfer) const { delete transfer; }

namespace {

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  std::size_t take = std::min(size * count, transfer->body.size() - transfer->sent);
  std::copy_n(transfer->body.data() + transfer->sent, take, buffer);
  transfer->sent += take;
  return take;
}

// Called by libcurl for every connection it opens, with the address it
// resolved: the one place that sees where a name really leads.
curl_socket_t openCheckedSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  auto* transfer = static_cast<Transfer*>(user);
  std::string refused = refusedAddress(&address->addr, *transfer->rule);
  if (!refused.empty()) {
    transfer->refused = refused;
    return CURL_SOCKET_BAD;
  }
  static_cast<void>(purpose);
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

TransferPtr newTransfer(const std::string& url, long timeoutMs, bool mail) {
  TransferPtr transfer(new Transfer);
  transfer->easy = curl_easy_init();
  transfer->mail = mail;
  transfer->timeoutMs = timeoutMs;
  if (transfer->easy == nullptr) return transfer;
  curl_easy_setopt(transfer->easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(transfer->easy, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(transfer->easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  // Signals would reach the whole service; time-outs work without them.
  curl_easy_setopt(transfer->easy, CURLOPT_NOSIGNAL, 1L);
  return transfer;
}

// Why a send failed, in words for the board, the audit and the log: never a
// bare code, and never curl's wording where the office's own is clearer.
std::string failureReason(const Transfer& transfer, CURLcode code, long status) {
  const std::string peer = transfer.mail ? "the mail server" : "the push address";
  switch (code) {
    case CURLE_OK:
      return peer + " answered " + std::to_string(status);
    case CURLE_USE_SSL_FAILED:
      return "the mail server offers no STARTTLS (set smtp-tls = none only for a relay on loopback)";
    case CURLE_OPERATION_TIMEDOUT:
      return "no answer within " + (transfer.timeoutMs % 1000 == 0 ? std::to_string(transfer.timeoutMs / 1000) + " s"
                                                                     : std::to_string(transfer.timeoutMs) + " ms");
    case CURLE_COULDNT_RESOLVE_HOST:
      return peer + "'s host name is unknown";
    case CURLE_COULDNT_CONNECT:
      return peer + " refused the connection";
    case CURLE_LOGIN_DENIED:
      return "the mail server refused the login (smtp-user and its password)";
    case CURLE_PEER_FAILED_VERIFICATION:
      return peer + "'s certificate is not trusted";
    case CURLE_SSL_CONNECT_ERROR:
      return "the TLS handshake with " + peer + " failed";
    case CURLE_OUT_OF_MEMORY:
      return "out of memory";
    default:
      break;
  }
  // A command the server refused still has its reply code.
  if (status != 0) return peer + " answered " + std::to_string(status);
  return peer + ": " + curl_easy_strerror(code);
}

// The outcome of an ended transfer: curl's code and the server's status.
SendOutcome outcomeOf(const Transfer& transfer, CURLcode code) {
  SendOutcome outcome;
  outcome.mail = transfer.mail;
  if (transfer.easy == nullptr) {
    outcome.connectionFailed = true;
    outcome.error = failureReason(transfer, CURLE_OUT_OF_MEMORY, 0);
    return outcome;
  }
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  outcome.retryAfterSeconds = transfer.retryAfter;
  if (code == CURLE_OK) {
    outcome.delivered = transfer.mail || (outcome.status >= 200 && outcome.status < 300);
    if (!outcome.delivered) outcome.error = failureReason(transfer, code, outcome.status);
    return outcome;
  }
  if (!transfer.refused.empty()) {
    outcome.error = "refused: " + transfer.refused;  // final: the same address is refused again
    return outcome;
  }
  // A refused command still has the server's reply code; anything else is the connection.
  outcome.connectionFailed = outcome.status == 0;
  // The reply code of the last command that went well is no reason (250 to EHLO before a refused STARTTLS).
  if (code == CURLE_USE_SSL_FAILED) outcome.status = 0;
  outcome.error = failureReason(transfer, code, outcome.status);
  return outcome;
}

SendOutcome performOne(TransferPtr transfer) {
  std::vector<TransferPtr> one;
  one.push_back(std::move(transfer));
  SendOutcome result;
  performAll(one, [&](std::size_t, const SendOutcome& outcome) { result = outcome; });
  return result;
}

}  // namespace

bool initAlertSender() { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }

TransferPtr webhookTransfer(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                            const AlertTargetRule& rule, long timeoutMs) {
  TransferPtr transfer = newTransfer(url, timeoutMs, false);
  CURL* easy = transfer->easy;
  if (easy == nullptr) return transfer;
  transfer->rule = &rule;
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openCheckedSocket);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, transfer.get());
  transfer->body = body;
  transfer->headers = appended(appended(List(), "Content-Type: application/json"), "Idempotency-Key: " + idempotencyKey);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers.get());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->body.size()));
  // Only http and https, also after a redirect: the address comes from the desk.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardBody);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, readRetryAfter);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer->retryAfter);
  return transfer;
}

TransferPtr mailTransfer(const SmtpSettings& smtp, const std::string& to, const std::string& message, long timeoutMs) {
  TransferPtr transfer = newTransfer(smtp.url, timeoutMs, true);
  CURL* easy = transfer->easy;
  if (easy == nullptr) return transfer;
  transfer->body = message;
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(easy, CURLOPT_MAIL_FROM, ("<" + smtp.from + ">").c_str());
  transfer->recipients = appended(List(), "<" + to + ">");
  curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, transfer->recipients.get());
  if (smtp.requireTls) curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!smtp.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, smtp.caFile.c_str());
  if (!smtp.user.empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, smtp.user.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, smtp.password.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, readUpload);
  curl_easy_setopt(easy, CURLOPT_READDATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  return transfer;
}

struct SendLane::State {
  CURLM* multi = nullptr;
  std::size_t maxRunning = 0;
  std::size_t perTarget = 0;
  std::map<std::int64_t, std::pair<TransferPtr, std::string>> running;  // id -> transfer, target
  std::map<std::string, std::size_t> perTargetRunning;
  std::vector<std::pair<std::int64_t, TransferPtr>> unstarted;  // not added (out of memory): failed at the next step
};

SendLane::SendLane(std::size_t maxRunning, std::size_t perTarget) : state_(new State) {
  state_->multi = curl_multi_init();
  state_->maxRunning = maxRunning;
  state_->perTarget = perTarget;
}

SendLane::~SendLane() {
  abandon();
  curl_multi_cleanup(state_->multi);
}

std::size_t SendLane::size() const { return state_->running.size() + state_->unstarted.size(); }

bool SendLane::running(std::int64_t id) const { return state_->running.count(id) > 0; }

bool SendLane::hasRoomFor(const std::string& target) const {
  auto found = state_->perTargetRunning.find(target);
  std::size_t count = found == state_->perTargetRunning.end() ? 0 : found->second;
  return size() < state_->maxRunning && count < state_->perTarget;
}

void SendLane::add(std::int64_t id, const std::string& target, TransferPtr transfer) {
  if (state_->multi == nullptr || transfer->easy == nullptr) {
    state_->unstarted.emplace_back(id, std::move(transfer));
    return;
  }
  transfer->id = id;
  curl_easy_setopt(transfer->easy, CURLOPT_PRIVATE, transfer.get());
  if (curl_multi_add_handle(state_->multi, transfer->easy) != CURLM_OK) {
    state_->unstarted.emplace_back(id, std::move(transfer));
    return;
  }
  ++state_->perTargetRunning[target];
  state_->running.emplace(id, std::make_pair(std::move(transfer), target));
}

void SendLane::step(int waitMs, const SendDone& done) {
  std::vector<std::pair<std::int64_t, TransferPtr>> unstarted = std::move(state_->unstarted);
  state_->unstarted.clear();
  for (auto& [id, transfer] : unstarted) done(id, outcomeOf(*transfer, CURLE_OUT_OF_MEMORY));
  if (state_->running.empty()) return;
  int stillRunning = 0;
  bool failed = curl_multi_perform(state_->multi, &stillRunning) != CURLM_OK;
  std::vector<std::pair<std::int64_t, CURLcode>> ended;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(state_->multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    ended.emplace_back(static_cast<Transfer*>(owner)->id, message->data.result);
  }
  // Only after a failure of the multi handle itself: those not ended failed.
  if (failed) {
    for (const auto& entry : state_->running) ended.emplace_back(entry.first, CURLE_FAILED_INIT);
  }
  for (const auto& [id, code] : ended) {
    auto found = state_->running.find(id);
    if (found == state_->running.end()) continue;
    TransferPtr transfer = std::move(found->second.first);
    if (--state_->perTargetRunning[found->second.second] == 0) state_->perTargetRunning.erase(found->second.second);
    state_->running.erase(found);
    curl_multi_remove_handle(state_->multi, transfer->easy);
    done(id, outcomeOf(*transfer, code));
  }
  if (!state_->running.empty() && ended.empty()) curl_multi_poll(state_->multi, nullptr, 0, waitMs, nullptr);
}

void SendLane::abandon() {
  for (auto& entry : state_->running) {
    Transfer& transfer = *entry.second.first;
    // Closing an SMTP connection says QUIT and waits for the reply, within
    // the transfer's time-out: a server that never answers would hold the stop.
    curl_easy_setopt(transfer.easy, CURLOPT_TIMEOUT_MS, 1L);
    curl_multi_remove_handle(state_->multi, transfer.easy);
  }
  state_->running.clear();
  state_->perTargetRunning.clear();
  state_->unstarted.clear();
}

void performAll(std::vector<TransferPtr>& transfers, const std::function<void(std::size_t, const SendOutcome&)>& done,
                const std::atomic<bool>* stop) {
  SendLane lane(transfers.size(), transfers.size());
  for (std::size_t i = 0; i < transfers.size(); ++i) lane.add(static_cast<std::int64_t>(i), "", std::move(transfers[i]));
  SendDone reported = [&](std::int64_t id, const SendOutcome& outcome) { done(static_cast<std::size_t>(id), outcome); };
  // Bounded: every transfer ends by its own time-out.
  while (lane.size() > 0 && (stop == nullptr || !stop->load())) lane.step(200, reported);
  // Stopped: no outcome (the message is still due).
  lane.abandon();
}

SendOutcome postWebhook(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                        const AlertTargetRule& rule, long timeoutMs) {
  return performOne(webhookTransfer(url, body, idempotencyKey, rule, timeoutMs));
}

SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message, long timeoutMs) {
  return performOne(mailTransfer(smtp, to, message, timeoutMs));
}
