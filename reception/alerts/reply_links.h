// Reply links are made when their message is sent, never stored: the outbox
// (and so every backup) holds the message with a placeholder where the link
// goes, and only the hash of each link's token is saved.
#pragma once

#include <cstdint>
#include <string>

#include "store/outbox.h"

// Where the link goes in a message as it is queued.
constexpr char replyLinkPlaceholder[] = "{reply-link}";

// Pure: the payload with link in the placeholder's place. A webhook's JSON
// body has it as its acknowledgeUrl member; a mail as its last line, so the
// last occurrence is the one (a guest's name earlier in the text is left alone).
std::string withReplyLink(bool mail, const std::string& payload, const std::string& link);
bool hasReplyLinkPlace(const std::string& payload);

// Puts a new link (publicUrl + "ack/" + token) into the item's payload and
// saves its token's hash; false when that could not be saved (the item then
// waits for the next pass). Items without a placeholder are left as they are.
bool deriveReplyLink(const std::string& publicUrl, OutboxItem& item, std::int64_t now);
