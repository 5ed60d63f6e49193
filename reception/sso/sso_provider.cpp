#include "sso/sso_provider.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "log/service_log.h"
#include "store/clock.h"

std::string prepareSsoSettings(const SsoOptions& options, const std::string& publicUrl, SsoSettings& settings) {
  std::ifstream file(options.clientSecretFile, std::ios::binary);
  std::string secret;
  if (!file || !std::getline(file, secret)) {
    return "cannot read the OpenID client secret file " + options.clientSecretFile + ": " + std::strerror(errno);
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) return "the OpenID client secret file " + options.clientSecretFile + " is empty";
  if (!options.caFile.empty() && !std::ifstream(options.caFile, std::ios::binary)) {
    return "cannot read the OpenID provider's CA file " + options.caFile + ": " + std::strerror(errno);
  }
  settings = SsoSettings{options.issuer,      options.clientId,  secret,
                         publicUrl + "sso/callback", publicUrl, options.groupsClaim,
                         options.deskGroup,   options.adminGroup, options.kioskGroup,
                         options.hostClaim,   options.displayName, options.caFile};
  return "";
}

SsoProvider::SsoProvider(SsoSettings settings)
    : settings_(std::move(settings)),
      keys_(
          [this](std::string& document) {
            std::optional<ProviderEndpoints> known = endpoints();
            if (!known) return false;
            ProviderAnswer answer = providerGet(known->jwks, settings_.caFile);
            if (answer.status != 200) {
              logEvent("single sign-on: the provider's keys at " + known->jwks + " could not be read: " +
                       (answer.status == 0 ? answer.error : "HTTP " + std::to_string(answer.status)));
              return false;
            }
            document = std::move(answer.body);
            return true;
          },
          [] { return currentTimeMs(); }),
      refresher_([this] { refreshLoop(); }) {}

SsoProvider::~SsoProvider() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  refresher_.join();
}

std::optional<ProviderEndpoints> SsoProvider::endpoints() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!endpoints_ && currentTimeMs() - lastAttemptMs_ >= discoveryNudgeMs) {
    retryNow_ = true;
    wake_.notify_all();
  }
  return endpoints_;
}

bool SsoProvider::discover() {
  ProviderEndpoints found;
  std::string problem = discoverProvider(settings_.issuer, settings_.caFile, found);
  if (!problem.empty()) {
    logEventOncePerMinute("sso-discovery", "single sign-on: the provider " + settings_.issuer + " cannot be reached (" +
                                               problem + "); retrying. Local passwords still work.",
                          currentTimeMs());
    return false;
  }
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = !endpoints_;
    endpoints_ = found;
  }
  keys_.reload();
  if (first) logEvent("single sign-on: the provider " + settings_.issuer + " is ready");
  return true;
}

void SsoProvider::refreshLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lastAttemptMs_ = currentTimeMs();
    retryNow_ = false;
    lock.unlock();
    bool found = discover();
    lock.lock();
    auto wait = std::chrono::milliseconds(found ? discoveryRefreshMs : discoveryRetryMs);
    wake_.wait_for(lock, wait, [this] { return stopping_ || retryNow_; });
  }
}
