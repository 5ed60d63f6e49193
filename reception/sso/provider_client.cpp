#include "sso/provider_client.h"

#include <curl/curl.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "sso/sso_options.h"

using nlohmann::json;

namespace {

struct CurlFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t collect(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<std::string*>(target);
  if (body->size() + size * count > maxProviderAnswerBytes) return 0;  // ends the transfer
  body->append(data, size * count);
  return size * count;
}

ProviderAnswer perform(CURL* handle, const std::string& url, const std::string& caFile) {
  ProviderAnswer answer;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, providerTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer.body);
  if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
  CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK) {
    answer.error = error[0] != '\0' ? error : curl_easy_strerror(result);
    answer.body.clear();
    return answer;
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

std::string stringMember(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

}  // namespace

ProviderAnswer providerGet(const std::string& url, const std::string& caFile) {
  std::unique_ptr<CURL, CurlFree> handle(curl_easy_init());
  if (!handle) return ProviderAnswer{0, "", "libcurl could not start a transfer"};
  std::unique_ptr<curl_slist, SlistFree> headers(curl_slist_append(nullptr, "Accept: application/json"));
  curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  return perform(handle.get(), url, caFile);
}

ProviderAnswer providerPostForm(const std::string& url, const std::string& form, const std::string& authorization,
                                const std::string& caFile) {
  std::unique_ptr<CURL, CurlFree> handle(curl_easy_init());
  if (!handle) return ProviderAnswer{0, "", "libcurl could not start a transfer"};
  curl_slist* list = curl_slist_append(nullptr, "Accept: application/json");
  list = curl_slist_append(list, "Content-Type: application/x-www-form-urlencoded");
  list = curl_slist_append(list, ("Authorization: " + authorization).c_str());
  std::unique_ptr<curl_slist, SlistFree> headers(list);
  curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  return perform(handle.get(), url, caFile);
}

std::string discoverProvider(const std::string& issuer, const std::string& caFile, ProviderEndpoints& endpoints) {
  std::string base = issuer.back() == '/' ? issuer.substr(0, issuer.size() - 1) : issuer;
  ProviderAnswer answer = providerGet(base + "/.well-known/openid-configuration", caFile);
  if (answer.status == 0) return answer.error;
  if (answer.status != 200) return "the discovery document answered HTTP " + std::to_string(answer.status);
  json document = json::parse(answer.body, nullptr, false);
  if (!document.is_object()) return "the discovery document is not JSON";
  if (stringMember(document, "issuer") != issuer) {
    return "the discovery document names another issuer (\"" + stringMember(document, "issuer").substr(0, 200) + "\")";
  }
  ProviderEndpoints found{stringMember(document, "authorization_endpoint"), stringMember(document, "token_endpoint"),
                          stringMember(document, "jwks_uri")};
  for (const std::string* url : {&found.authorization, &found.token, &found.jwks}) {
    if (!isAllowedIssuer(*url)) return "the discovery document lacks an endpoint, or names one that is not https";
  }
  endpoints = found;
  return "";
}

std::string formEncode(const std::string& text) {
  std::string encoded;
  const char* hex = "0123456789ABCDEF";
  for (unsigned char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~';
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += hex[c >> 4];
      encoded += hex[c & 15];
    }
  }
  return encoded;
}
