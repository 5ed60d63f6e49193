// Single sign-on's command-line options (also configuration keys), read by
// the option table, and their checks.
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

// Checks of the options together, after all are read.
std::string checkSsoOptions(const SsoOptions& options);
// Whether an issuer URL may be used: https, or http to a loopback host.
bool isAllowedIssuer(const std::string& issuer);
