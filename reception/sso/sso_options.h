// Single sign-on's command-line options (also configuration keys), parsed by
// pure functions.
#pragma once

#include <string>

struct SsoOptions {
  std::string issuer;            // --oidc-issuer: https, or http on loopback; "" when off
  std::string clientId;          // --oidc-client-id
  std::string clientSecretFile;  // --oidc-client-secret-file: the secret never goes on the command line
  std::string groupsClaim = "groups";
  std::string deskGroup;
  std::string adminGroup;
  std::string kioskGroup;
  std::string hostClaim = "email";
  std::string displayName = "single sign-on";
  std::string caFile;  // --oidc-ca-file: PEM CA certificates of the provider's HTTPS; "" for the system's
};

extern const char ssoUsage[];

bool isSsoOption(const std::string& name);
// "" or a message naming the option.
std::string applySsoOption(const std::string& name, const std::string& value, SsoOptions& options);
// Checks of the options together, after all are read.
std::string checkSsoOptions(const SsoOptions& options);
// Whether an issuer URL may be used: https, or http to a loopback host.
bool isAllowedIssuer(const std::string& issuer);
