// The desk API's JSON bodies (input: one byte choosing the form and the
// notifiers' code page, then the body). Whatever is accepted must reach a
// notifier intact: a staff name comes back from the listUsers answer as one
// user whose first two words find the member again, and a guest comes back
// from the getNotification answer as exactly one record with its texts (a
// comma and a bar as their stand-ins).
#include "text/code_page.h"
#include "fuzz_check.h"
#include "notifier/api.h"
#include "reception_client.h"
#include "split_text.h"
#include "rules/validation.h"
#include "store/staff.h"
#include "text/text.h"

namespace {

// Code pages a site may run its notifiers in; the double-byte ones are
// included because their second bytes overlap ASCII.
const char* const codePages[] = {"WINDOWS-1252", "WINDOWS-1251", "ISO-8859-7", "CP932", "CP936", "CP949"};

bool hasOuterBlank(std::string_view text) {
  return !text.empty() && (trimmed(text).size() != text.size());
}

void checkStaff(std::string_view body, const std::string& codePage) {
  StaffEntry entry;
  if (!parseStaffEntry(body, entry, codePage).empty()) return;
  FUZZ_CHECK(!entry.firstName.empty() && !entry.lastName.empty());
  FUZZ_CHECK(!hasOuterBlank(entry.firstName) && !hasOuterBlank(entry.lastName));
  std::string first, last;
  FUZZ_CHECK(toCodePage(entry.firstName, first, codePage) && toCodePage(entry.lastName, last, codePage));

  // The listUsers answer with this name between two others.
  UserList users;
  decodeUsers(("Ann Lee," + first + " " + last + ",Bob Ray").c_str(), users);
  FUZZ_CHECK(users.size() == 3 && users[0] == "Ann Lee" && users[2] == "Bob Ray");
  // The notifier splits the chosen name at its spaces and sends the first
  // two words; the service must find the same member of staff by them.
  std::string display = entry.firstName + " " + entry.lastName;
  std::string displayBack;
  FUZZ_CHECK(fromCodePage(users[1], displayBack, codePage) && displayBack == display);
  TextList parts;
  splitText(users[1].c_str(), parts, " ");
  FUZZ_CHECK(parts.size() >= 2 && !parts[0].empty() && !parts[1].empty());
  std::string firstBack, secondBack;
  FUZZ_CHECK(fromCodePage(parts[0], firstBack, codePage) && fromCodePage(parts[1], secondBack, codePage));
  FUZZ_CHECK(firstBack + " " + secondBack == lookupName(display));
}

void checkGuest(std::string_view body, const std::string& codePage) {
  GuestEntry entry;
  if (!parseGuestEntry(body, entry, codePage).empty()) return;
  FUZZ_CHECK(entry.staffId > 0 && !entry.headline.empty());
  FUZZ_CHECK(!hasOuterBlank(entry.headline) && !hasOuterBlank(entry.detail));
  // As the notifier API sends them: separators stood in, converted without loss.
  std::string headline, detail;
  std::string headlineSent = withSeparatorsStoodIn(entry.headline), detailSent = withSeparatorsStoodIn(entry.detail);
  FUZZ_CHECK(toCodePage(headlineSent, headline, codePage) && toCodePage(detailSent, detail, codePage));
  FUZZ_CHECK(toCodePageLossy(headlineSent, codePage) == headline && toCodePageLossy(detailSent, codePage) == detail);

  std::string answer = notificationRecord(7, headline, detail, 0) + "," + notificationRecord(8, "Other", "", 0);
  NotificationList list;
  decodeNotifications(answer.c_str(), list);
  FUZZ_CHECK(list.size() == 2);
  FUZZ_CHECK(list[0].id == "7" && list[0].headline == headline && list[0].detail == detail);
  FUZZ_CHECK(list[1].id == "8" && list[1].headline == "Other");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t choice = data[0];
  std::string_view body = fuzzBytes(data + 1, size - 1);
  const std::string codePage = codePages[(choice >> 1) % (sizeof codePages / sizeof codePages[0])];
  if (choice % 2 == 0) {
    checkStaff(body, codePage);
  } else {
    checkGuest(body, codePage);
  }
  return 0;
}
