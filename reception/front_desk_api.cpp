#include "front_desk_api.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "csv.h"
#include "desk_call.h"
#include "front_desk_policy.h"
#include "front_desk_store.h"
#include "notifier_api.h"
#include "outbox.h"
#include "query.h"
#include "validation.h"

namespace {

using nlohmann::json;

// The page shows at most this many rows; the CSV export holds up to the other.
constexpr std::size_t visitorPageRows = 2000;
constexpr std::size_t visitorCsvRows = 100000;

HttpResponse csvAnswer(std::string body, const char* fileName) {
  HttpResponse response;
  response.contentType = "text/csv; charset=utf-8";
  response.body = std::move(body);
  response.headers.emplace_back("Content-Disposition", std::string("attachment; filename=\"") + fileName + "\"");
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

json optionalTime(const std::optional<std::int64_t>& value) { return value ? json(*value) : json(nullptr); }

bool parseObject(std::string_view body, json& object) {
  object = json::parse(body.begin(), body.end(), nullptr, false);
  return !object.is_discarded() && object.is_object();
}

// --- Reassign --------------------------------------------------------------

}  // namespace

HttpResponse reassignWaitingGuest(const DeskCall& call) {
  json object;
  if (!parseObject(call.request.body, object)) return errorAnswer(400, "The request body must be a JSON object.");
  auto staff = object.find("staffId");
  if (staff == object.end() || !staff->is_number_integer() || staff->get<std::int64_t>() <= 0) {
    return errorAnswer(400, "Choose the member of staff the guest should see instead.");
  }
  NotificationRow added;
  switch (reassignGuest(call.id, staff->get<std::int64_t>(), added)) {
    case ReassignResult::done:
      // Both halves are desk writes: the old guest archived, the new one announced.
      audit(call, "reassign", "guest #" + std::to_string(call.id) + " " + added.headline + " archived as reassigned");
      audit(call, "announce", "guest #" + std::to_string(added.id) + " " + added.headline + " for " + added.hostName);
      return jsonAnswer(201, {{"id", added.id}, {"staffId", added.staffId}, {"hostName", added.hostName},
                              {"guestName", added.headline}, {"arrivedAt", added.arrivedAt}});
    case ReassignResult::guestNotWaiting: return errorAnswer(404, "That guest is not waiting any more.");
    case ReassignResult::hostNotFound: return errorAnswer(404, "That member of staff is no longer in the directory.");
    case ReassignResult::sameHost: return errorAnswer(409, "The guest is already waiting for that member of staff.");
    default: return storageFailure();
  }
}

// --- Staff import and export -------------------------------------------------

namespace {

json namesJson(const std::vector<ImportedName>& names) {
  json list = json::array();
  for (const ImportedName& name : names) {
    list.push_back({{"line", name.line}, {"firstName", name.firstName}, {"lastName", name.lastName}});
  }
  return list;
}

json previewJson(const ImportPreview& preview, bool applied) {
  json rejected = json::array();
  for (const RejectedRow& row : preview.rejected) {
    rejected.push_back({{"line", row.line}, {"text", row.text}, {"reason", row.reason}});
  }
  return {{"applied", applied}, {"added", namesJson(preview.added)}, {"unchanged", namesJson(preview.unchanged)},
          {"rejected", rejected}};
}

}  // namespace

HttpResponse importStaffCsv(const DeskCall& call) {
  json object;
  if (!parseObject(call.request.body, object)) return errorAnswer(400, "The request body must be a JSON object.");
  auto csv = object.find("csv");
  auto apply = object.find("apply");
  if (csv == object.end() || !csv->is_string()) return errorAnswer(400, "Choose a CSV file to import.");
  bool applying = apply != object.end() && apply->is_boolean() && apply->get<bool>();
  const std::string& text = csv->get_ref<const std::string&>();
  ImportPreview preview;
  if (applying) {
    if (!applyStaffImport(text, preview)) return storageFailure();
  } else {
    preview = previewStaffImportNow(text);
  }
  if (!preview.error.empty()) return errorAnswer(400, preview.error);
  if (applying) audit(call, "staff-import", std::to_string(preview.added.size()) + " added from a CSV file");
  return jsonAnswer(200, previewJson(preview, applying));
}

namespace {

// --- Visitor log -----------------------------------------------------------

const char* outcomeOf(const NotificationRow& row) {
  if (!row.archivedAt) return "waiting";
  if (row.archivedBy == "desk") return "withdrawn";
  if (row.archivedBy == "reassigned") return "reassigned";
  return "acknowledged";
}

// The acknowledgement time, or the withdrawal or reassignment time.
std::optional<std::int64_t> acknowledgedAt(const NotificationRow& row) {
  return std::string_view(outcomeOf(row)) == "acknowledged" ? row.archivedAt : std::nullopt;
}
std::optional<std::int64_t> withdrawnAt(const NotificationRow& row) {
  return row.archivedAt && !acknowledgedAt(row) ? row.archivedAt : std::nullopt;
}

// A decimal count of milliseconds; false for anything else.
bool parseTime(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.size() > 15) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

std::string visitorFilter(const HttpRequest& request, VisitorFilter& filter) {
  QueryMap query = parseRequestTarget(request.target).query;
  filter.from = 0;
  filter.to = std::numeric_limits<std::int64_t>::max();
  std::optional<std::string> from = queryValue(query, "from");
  std::optional<std::string> to = queryValue(query, "to");
  if (from && !from->empty() && !parseTime(*from, filter.from)) return "The start of the range is not a time.";
  if (to && !to->empty() && !parseTime(*to, filter.to)) return "The end of the range is not a time.";
  if (filter.from > filter.to) return "The range ends before it starts.";
  filter.host = std::string(trimmed(queryValue(query, "host").value_or("")));
  return "";
}

}  // namespace

HttpResponse visitorList(const DeskCall& call) {
  VisitorFilter filter;
  std::string error = visitorFilter(call.request, filter);
  if (!error.empty()) return errorAnswer(400, error);
  std::vector<NotificationRow> rows = visitorLog(filter, visitorPageRows + 1);
  bool truncated = rows.size() > visitorPageRows;
  if (truncated) rows.pop_back();
  json list = json::array();
  for (const NotificationRow& row : rows) {
    list.push_back({{"id", row.id},
                    {"guestName", row.headline},
                    {"note", row.detail},
                    {"hostName", row.hostName},
                    {"arrivedAt", row.arrivedAt},
                    {"deliveredAt", optionalTime(row.deliveredAt)},
                    {"acknowledgedAt", optionalTime(acknowledgedAt(row))},
                    {"withdrawnAt", optionalTime(withdrawnAt(row))},
                    {"outcome", outcomeOf(row)}});
  }
  return jsonAnswer(200, {{"visitors", list}, {"truncated", truncated}, {"retentionDays", frontDeskPolicy.retentionDays}});
}

namespace {

// The service's local time with its offset, e.g. "2026-12-07T14:05:09+01:00".
std::string isoTime(const std::optional<std::int64_t>& ms) {
  if (!ms) return "";
  std::time_t seconds = static_cast<std::time_t>(*ms / 1000);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return "";
  char text[40];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "";
  std::string iso = text;
  if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
  return iso;
}

}  // namespace

HttpResponse visitorListCsv(const DeskCall& call) {
  VisitorFilter filter;
  std::string error = visitorFilter(call.request, filter);
  if (!error.empty()) return errorAnswer(400, error);
  std::string body = "\xEF\xBB\xBF" + csvLine({"guest", "note", "host", "arrived", "delivered", "acknowledged",
                                                "withdrawn_or_reassigned", "outcome"});
  for (const NotificationRow& row : visitorLog(filter, visitorCsvRows)) {
    body += csvLine({row.headline, row.detail, row.hostName, isoTime(row.arrivedAt), isoTime(row.deliveredAt),
                     isoTime(acknowledgedAt(row)), isoTime(withdrawnAt(row)), outcomeOf(row)});
  }
  return csvAnswer(std::move(body), "visitors.csv");
}

HttpResponse exportStaffCsv(const DeskCall&) {
  std::vector<StaffRow> staff;
  if (activeStaff(staff) != StoreResult::done) {
    return errorAnswer(500, "The service could not read the staff directory. Please try again.");
  }
  return csvAnswer(staffCsv(staff, staffContacts()), "staff.csv");
}

void addFrontDeskState(nlohmann::json& state) {
  state["escalateAfterUnseenMs"] = frontDeskPolicy.unseenAfterMs;
  state["escalateAfterUnacknowledgedMs"] = frontDeskPolicy.unacknowledgedAfterMs;
  state["retentionDays"] = frontDeskPolicy.retentionDays;
}

const char* escalationAt(const NotificationRow& row, std::int64_t now,
                         const std::map<std::int64_t, std::int64_t>& reassignedSince) {
  auto reassigned = reassignedSince.find(row.id);
  std::int64_t announcedAt = reassigned == reassignedSince.end() ? row.arrivedAt : reassigned->second;
  return escalationName(escalationOf(announcedAt, row.deliveredAt, row.archivedAt, now, frontDeskPolicy));
}

void applyRetention() {
  std::optional<std::int64_t> cutoff = retentionCutoff(currentTimeMs(), frontDeskPolicy.retentionDays);
  if (!cutoff) return;
  std::optional<RetentionCount> deleted = deleteExpiredRecords(*cutoff);
  // NOLINTBEGIN(cert-err33-c): the service runs on whether or not its log is read
  if (deleted) {
    std::printf("vestibra-reception: retention of %d days: deleted %lld guest records and %lld removed staff\n",
                frontDeskPolicy.retentionDays, static_cast<long long>(deleted->guests),
                static_cast<long long>(deleted->staff));
  } else {
    std::fprintf(stderr, "vestibra-reception: retention of %d days: the expired records could not be deleted\n",
                 frontDeskPolicy.retentionDays);
  }
  std::fflush(stdout);
  // NOLINTEND(cert-err33-c)
}
