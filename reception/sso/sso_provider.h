// The configured provider while the service runs: its endpoints, found by
// discovery at start and hourly on a thread of its own (retried every 30 s
// while the provider cannot be reached; the service runs on meanwhile), and
// its keys.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "sso/jwks_cache.h"
#include "sso/provider_client.h"
#include "sso/sso_options.h"

constexpr std::int64_t discoveryRefreshMs = 60LL * 60 * 1000;
constexpr std::int64_t discoveryRetryMs = 30LL * 1000;
// A sign-in while the provider is unknown retries discovery, this often at most.
constexpr std::int64_t discoveryNudgeMs = 5LL * 1000;

// What single sign-on uses, fixed at start.
struct SsoSettings {
  std::string issuer;
  std::string clientId;
  std::string clientSecret;  // from --oidc-client-secret-file; never logged
  std::string redirectUri;   // <public URL>sso/callback
  std::string publicUrl;
  std::string groupsClaim;
  std::string deskGroup;
  std::string adminGroup;
  std::string kioskGroup;
  std::string hostClaim;
  std::string displayName;
  std::string caFile;  // "" for the system's CA certificates
};

// The settings from the options and the public URL (ending in "/"): "" or why not.
std::string prepareSsoSettings(const SsoOptions& options, const std::string& publicUrl, SsoSettings& settings);

class SsoProvider {
 public:
  explicit SsoProvider(SsoSettings settings);
  ~SsoProvider();
  SsoProvider(const SsoProvider&) = delete;
  SsoProvider& operator=(const SsoProvider&) = delete;

  const SsoSettings& settings() const { return settings_; }
  // The endpoints once discovery has succeeded; until then each ask may
  // start another attempt.
  std::optional<ProviderEndpoints> endpoints();
  JwksCache& keys() { return keys_; }

 private:
  void refreshLoop();
  bool discover();

  SsoSettings settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool retryNow_ = false;
  std::int64_t lastAttemptMs_ = 0;
  std::optional<ProviderEndpoints> endpoints_;
  JwksCache keys_;
  std::thread refresher_;
};
