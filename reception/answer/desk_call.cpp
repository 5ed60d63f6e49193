#include "answer/desk_call.h"

using nlohmann::json;

HttpResponse jsonAnswer(int status, const json& value) {
  return jsonText(status, value.dump(-1, ' ', false, json::error_handler_t::replace));
}

HttpResponse errorAnswer(int status, const std::string& message) { return jsonAnswer(status, {{"error", message}}); }

HttpResponse storeFailure(Outcome outcome, Failure otherwise) { return outcomeAnswer(outcome, Audience::desk, otherwise); }

nlohmann::json optionalTime(const std::optional<std::int64_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}
