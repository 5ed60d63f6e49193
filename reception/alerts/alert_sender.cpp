#include "alert_sender.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>

namespace {

struct EasyCloser {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyCloser>;
using List = std::unique_ptr<curl_slist, ListCloser>;

List appended(List list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return list;
  list.release();
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

struct Upload {
  const std::string& text;
  std::size_t sent = 0;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  std::size_t take = std::min(size * count, upload->text.size() - upload->sent);
  std::memcpy(buffer, upload->text.data() + upload->sent, take);
  upload->sent += take;
  return take;
}

// The outcome of a finished transfer: curl's code and the server's status.
SendOutcome outcomeOf(CURL* easy, CURLcode code, bool mail) {
  SendOutcome outcome;
  outcome.mail = mail;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (code == CURLE_OK) {
    outcome.delivered = mail || (outcome.status >= 200 && outcome.status < 300);
    if (!outcome.delivered) outcome.error = "status " + std::to_string(outcome.status);
    return outcome;
  }
  // A refused command still has the server's reply code; anything else is the connection.
  outcome.connectionFailed = outcome.status == 0;
  outcome.error = curl_easy_strerror(code);
  return outcome;
}

void setCommon(CURL* easy, const std::string& url, long timeoutMs) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  // Signals would reach the whole service; time-outs work without them.
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

}  // namespace

bool initAlertSender() { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }

SendOutcome postWebhook(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                        long timeoutMs) {
  Easy easy(curl_easy_init());
  if (!easy) return SendOutcome{false, false, true, 0, std::nullopt, "out of memory"};
  setCommon(easy.get(), url, timeoutMs);
  List headers = appended(appended(List(), "Content-Type: application/json"), "Idempotency-Key: " + idempotencyKey);
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  // Only http and https, also after a redirect: the address comes from the desk.
  curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, discardBody);
  std::optional<std::int64_t> retryAfter;
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, readRetryAfter);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &retryAfter);
  SendOutcome outcome = outcomeOf(easy.get(), curl_easy_perform(easy.get()), false);
  outcome.retryAfterSeconds = retryAfter;
  return outcome;
}

SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message, long timeoutMs) {
  Easy easy(curl_easy_init());
  if (!easy) return SendOutcome{false, true, true, 0, std::nullopt, "out of memory"};
  setCommon(easy.get(), smtp.url, timeoutMs);
  curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(easy.get(), CURLOPT_MAIL_FROM, ("<" + smtp.from + ">").c_str());
  List recipients = appended(List(), "<" + to + ">");
  curl_easy_setopt(easy.get(), CURLOPT_MAIL_RCPT, recipients.get());
  if (smtp.requireTls) curl_easy_setopt(easy.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!smtp.caFile.empty()) curl_easy_setopt(easy.get(), CURLOPT_CAINFO, smtp.caFile.c_str());
  if (!smtp.user.empty()) {
    curl_easy_setopt(easy.get(), CURLOPT_USERNAME, smtp.user.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_PASSWORD, smtp.password.c_str());
  }
  Upload upload{message};
  curl_easy_setopt(easy.get(), CURLOPT_READFUNCTION, readUpload);
  curl_easy_setopt(easy.get(), CURLOPT_READDATA, &upload);
  curl_easy_setopt(easy.get(), CURLOPT_UPLOAD, 1L);
  return outcomeOf(easy.get(), curl_easy_perform(easy.get()), true);
}
