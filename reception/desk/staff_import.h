// The staff directory as CSV: what an import would change, worked out
// without touching the database, and the export's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rules/target_rule.h"
#include "store/staff.h"
#include "text/code_page.h"

struct ImportedName {
  std::size_t line = 0;
  std::string firstName;
  std::string lastName;
  StaffContact contact;  // the optional columns email and alert_url
};

struct RejectedRow {
  std::size_t line = 0;
  std::string text;    // the row's names as read, for the receptionist to find it
  std::string reason;
};

struct ImportPreview {
  std::string error;  // a fault of the whole file (no usable header); then nothing else is set
  std::vector<ImportedName> added;
  std::vector<ImportedName> unchanged;  // already in the directory
  std::vector<RejectedRow> rejected;
};

// Sorts each row of csv into added, unchanged (its "First Last" is in
// existingNames) or rejected, by the same rules as the staff form. The header
// row names first_name and last_name in any order, matched ignoring case,
// spaces, "_" and "-" ("First Name", "firstName"); the optional columns
// email and alert_url are read and checked as the staff form checks them;
// other columns are ignored.
// Contacts are checked as alert targets by rule.
ImportPreview previewStaffImport(std::string_view csv, const NameSet& existingNames,
                                 const std::string& codePage = defaultCodePage, const AlertTargetRule& rule = {});

// Why name cannot join the directory beside clash, which has the same first two words.
std::string twoWordClash(const std::string& name, const std::string& clash);

// The active staff as CSV with a byte order mark, so spreadsheets read UTF-8,
// with each one's contact from contacts (by staff id).
std::string staffCsv(const std::vector<StaffRow>& staff, const std::map<std::int64_t, StaffContact>& contacts = {});
