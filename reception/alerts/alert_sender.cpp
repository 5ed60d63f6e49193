#include "alerts/alert_sender.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>

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
  std::size_t index = 0;  // in performAll's list
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

TransferPtr newTransfer(const std::string& url, long timeoutMs, bool mail) {
  TransferPtr transfer(new Transfer);
  transfer->easy = curl_easy_init();
  transfer->mail = mail;
  if (transfer->easy == nullptr) return transfer;
  curl_easy_setopt(transfer->easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(transfer->easy, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(transfer->easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  // Signals would reach the whole service; time-outs work without them.
  curl_easy_setopt(transfer->easy, CURLOPT_NOSIGNAL, 1L);
  return transfer;
}

// The outcome of an ended transfer: curl's code and the server's status.
SendOutcome outcomeOf(const Transfer& transfer, CURLcode code) {
  SendOutcome outcome;
  outcome.mail = transfer.mail;
  if (transfer.easy == nullptr) {
    outcome.connectionFailed = true;
    outcome.error = "out of memory";
    return outcome;
  }
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  outcome.retryAfterSeconds = transfer.retryAfter;
  if (code == CURLE_OK) {
    outcome.delivered = transfer.mail || (outcome.status >= 200 && outcome.status < 300);
    if (!outcome.delivered) outcome.error = "status " + std::to_string(outcome.status);
    return outcome;
  }
  // A refused command still has the server's reply code; anything else is the connection.
  outcome.connectionFailed = outcome.status == 0;
  outcome.error = curl_easy_strerror(code);
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
                            long timeoutMs) {
  TransferPtr transfer = newTransfer(url, timeoutMs, false);
  CURL* easy = transfer->easy;
  if (easy == nullptr) return transfer;
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

void performAll(std::vector<TransferPtr>& transfers, const std::function<void(std::size_t, const SendOutcome&)>& done,
                const std::atomic<bool>* stop) {
  CURLM* multi = curl_multi_init();
  std::size_t running = 0;
  std::vector<bool> added(transfers.size(), false);
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    Transfer& transfer = *transfers[i];
    if (multi == nullptr || transfer.easy == nullptr) {
      done(i, outcomeOf(transfer, CURLE_OUT_OF_MEMORY));
      continue;
    }
    transfer.index = i;
    curl_easy_setopt(transfer.easy, CURLOPT_PRIVATE, &transfer);
    curl_multi_add_handle(multi, transfer.easy);
    added[i] = true;
    ++running;
  }
  // Bounded: every transfer ends by its own time-out.
  bool stopped = false;
  while (running > 0 && !stopped) {
    int stillRunning = 0;
    if (curl_multi_perform(multi, &stillRunning) != CURLM_OK) break;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      void* owner = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
      std::size_t at = static_cast<Transfer*>(owner)->index;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, message->easy_handle);
      added[at] = false;
      --running;
      done(at, outcomeOf(*transfers[at], code));
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 200, nullptr);
    stopped = stop != nullptr && stop->load();
  }
  // Stopped: no outcome (the message is still due). Otherwise only after a
  // failure of the multi handle itself: those not ended failed.
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    if (!added[i]) continue;
    // Closing an SMTP connection says QUIT and waits for the reply, within
    // the transfer's time-out: a server that never answers would hold the stop.
    if (stopped) curl_easy_setopt(transfers[i]->easy, CURLOPT_TIMEOUT_MS, 1L);
    curl_multi_remove_handle(multi, transfers[i]->easy);
    if (!stopped) done(i, outcomeOf(*transfers[i], CURLE_FAILED_INIT));
  }
  curl_multi_cleanup(multi);
}

SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message, long timeoutMs) {
  return performOne(mailTransfer(smtp, to, message, timeoutMs));
}
