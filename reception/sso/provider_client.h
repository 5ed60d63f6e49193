// The provider over HTTP(S) with libcurl: its discovery document, its keys
// and the code exchange. Blocking, with a time-out; never follows redirects.
#pragma once

#include <string>

constexpr long providerTimeoutMs = 10000;
constexpr std::size_t maxProviderAnswerBytes = std::size_t{1} << 20;

struct ProviderEndpoints {
  std::string authorization;
  std::string token;
  std::string jwks;
};

struct ProviderAnswer {
  long status = 0;  // 0: no answer
  std::string body;
  std::string error;  // why there is no answer
};

ProviderAnswer providerGet(const std::string& url, const std::string& caFile);
// A form POST with an Authorization header (the client's credentials).
ProviderAnswer providerPostForm(const std::string& url, const std::string& form, const std::string& authorization,
                                const std::string& caFile);

// The endpoints from <issuer>/.well-known/openid-configuration: "" or why not.
// The document must name the same issuer, and endpoints of the issuer's kind
// (https, or http on loopback).
std::string discoverProvider(const std::string& issuer, const std::string& caFile, ProviderEndpoints& endpoints);

// application/x-www-form-urlencoded, as RFC 6749 wants for the client's credentials too.
std::string formEncode(const std::string& text);
