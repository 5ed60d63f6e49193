// The visitor log, as a page and as CSV, and the retention of records.
#include <cstdio>
#include <ctime>
#include <limits>

#include "desk/desk.h"
#include "store/clock.h"
#include "store/notifications.h"
#include "text/csv.h"
#include "text/local_time.h"
#include "text/log_stamp.h"
#include "text/text.h"

namespace {

using nlohmann::json;

// The page shows at most this many rows; the CSV export holds up to the other.
constexpr std::size_t visitorPageRows = 2000;
constexpr std::size_t visitorCsvRows = 100000;

const char* outcomeOf(const NotificationRow& row) {
  if (!row.archivedAt) return "waiting";
  if (row.archivedBy == "desk" || row.archivedBy == signedOutArchive) return "withdrawn";
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
bool parseTime(const std::string& text, std::int64_t& value) { return parseDecimal(text, 15, value); }

std::string visitorFilter(const QueryMap& query, VisitorFilter& filter) {
  filter.from = 0;
  filter.to = std::numeric_limits<std::int64_t>::max();
  std::optional<std::string> from = queryValue(query, "from");
  std::optional<std::string> to = queryValue(query, "to");
  if (from && !from->empty() && !parseTime(*from, filter.from)) return "The start of the range is not a time.";
  if (to && !to->empty() && !parseTime(*to, filter.to)) return "The end of the range is not a time.";
  if (filter.from > filter.to) return "The range ends before it starts.";
  filter.host = std::string(trimmed(queryValue(query, "host").value_or("")));
  // A page's cursor, "ARRIVED.ID" of the last guest of the page before.
  std::string after = queryValue(query, "after").value_or("");
  std::size_t dot = after.find('.');
  if (!after.empty() && (dot == std::string::npos || !parseTime(after.substr(0, dot), filter.afterArrivedAt) ||
                         !parseDecimal(after.substr(dot + 1), 18, filter.afterId) || filter.afterId <= 0)) {
    return "The page to continue from is not one this service gave.";
  }
  return "";
}

std::string cursorOf(const NotificationRow& row) { return std::to_string(row.arrivedAt) + "." + std::to_string(row.id); }

}  // namespace

HttpResponse visitorList(const DeskCall& call) {
  VisitorFilter filter;
  std::string error = visitorFilter(call.query, filter);
  if (!error.empty()) return errorAnswer(400, error);
  std::vector<NotificationRow> rows;
  Outcome read = visitorLog(filter, visitorPageRows + 1, rows);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
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
                    {"outcome", outcomeOf(row)},
                    {"archivedBy", row.archivedBy},
                    {"company", row.company},
                    {"checkInMethod", row.checkInMethod.empty() ? json(nullptr) : json(row.checkInMethod)},
                    {"signedOutAt", optionalTime(row.signedOutAt)}});
  }
  // "next" continues the list where this page ends: ?after=<next> with the same range.
  json next = truncated && !rows.empty() ? json(cursorOf(rows.back())) : json(nullptr);
  return jsonAnswer(200, {{"visitors", list},
                          {"truncated", truncated},
                          {"next", next},
                          {"retentionDays", call.settings.policy.retentionDays}});
}

namespace {

// The service's local time with its offset, e.g. "2026-12-07T14:05:09+01:00".
std::string isoTime(const std::optional<std::int64_t>& ms) { return ms ? isoTimeWithOffset(*ms) : ""; }

}  // namespace

HttpResponse visitorListCsv(const DeskCall& call) {
  VisitorFilter filter;
  std::string error = visitorFilter(call.query, filter);
  if (!error.empty()) return errorAnswer(400, error);
  std::vector<NotificationRow> rows;
  Outcome read = visitorLog(filter, visitorCsvRows, rows);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  std::string body = "\xEF\xBB\xBF" + csvLine({"guest", "note", "host", "arrived", "delivered", "acknowledged",
                                                "withdrawn_or_reassigned", "outcome", "company", "check_in_method",
                                                "signed_out"});
  for (const NotificationRow& row : rows) {
    body += csvLine({row.headline, row.detail, row.hostName, isoTime(row.arrivedAt), isoTime(row.deliveredAt),
                     isoTime(acknowledgedAt(row)), isoTime(withdrawnAt(row)), outcomeOf(row), row.company,
                     row.checkInMethod, isoTime(row.signedOutAt)});
  }
  return csvAnswer(std::move(body), "visitors.csv");
}

void applyRetention(int retentionDays) {
  std::optional<std::int64_t> cutoff = retentionCutoff(currentTimeMs(), retentionDays);
  if (!cutoff) return;
  RetentionCount deleted;
  Outcome result = deleteExpiredRecords(*cutoff, deleted);
  // NOLINTBEGIN(cert-err33-c): the service runs on whether or not its log is read
  if (result == Outcome::ok) {
    std::printf("%svestibra-reception: retention of %s: deleted %s and %lld removed staff\n", logStamp().c_str(),
                counted(retentionDays, "day", "days").c_str(),
                counted(deleted.guests, "guest record", "guest records").c_str(), static_cast<long long>(deleted.staff));
  } else {
    std::fprintf(stderr, "%svestibra-reception: retention of %s: the expired records could not be deleted\n",
                 logStamp().c_str(), counted(retentionDays, "day", "days").c_str());
  }
  std::fflush(stdout);
  // NOLINTEND(cert-err33-c)
}
