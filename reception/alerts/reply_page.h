// The reply link's page at /ack/<token>, outside the desk's session: GET
// shows the guest and one button and changes nothing (mail scanners open
// links); the button's POST acknowledges the guest "by reply".
#pragma once

#include <string_view>

#include "http/server.h"

HttpResponse answerReplyPage(const HttpRequest& request, std::string_view token);
