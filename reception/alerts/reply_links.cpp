#include "alerts/reply_links.h"

#include <nlohmann/json.hpp>

std::string withReplyLink(bool mail, const std::string& payload, const std::string& link) {
  if (mail) {
    std::size_t at = payload.rfind(replyLinkPlaceholder);
    if (at == std::string::npos) return payload;
    return payload.substr(0, at) + link + payload.substr(at + sizeof replyLinkPlaceholder - 1);
  }
  nlohmann::json body = nlohmann::json::parse(payload, nullptr, false);
  if (!body.is_object()) return payload;
  auto url = body.find("acknowledgeUrl");
  if (url == body.end() || *url != replyLinkPlaceholder) return payload;
  *url = link;
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool hasReplyLinkPlace(const std::string& payload) { return payload.find(replyLinkPlaceholder) != std::string::npos; }

bool deriveReplyLink(const std::string& publicUrl, OutboxItem& item, std::int64_t now) {
  // Only the host's own messages carry a link; in the team's, and in an
  // invitation's mail, the text can only be a guest's.
  if ((item.channel != "email" && item.channel != "push") || item.invitationId != 0) return true;
  if (!hasReplyLinkPlace(item.payload)) return true;
  bool mail = item.channel == "email";
  ReplyToken token = newReplyToken();
  std::string payload = withReplyLink(mail, item.payload, publicUrl + "ack/" + token.token);
  if (payload == item.payload) return true;  // the placeholder was only in a guest's text
  if (!addReplyToken(item.notificationId, token.hash, now)) return false;
  item.payload = std::move(payload);
  return true;
}
