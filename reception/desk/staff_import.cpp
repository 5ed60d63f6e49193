#include "desk/staff_import.h"

#include <algorithm>
#include <map>

#include "rules/validation.h"
#include "text/csv.h"
#include "text/text.h"

namespace {

constexpr std::size_t noColumn = static_cast<std::size_t>(-1);

struct NameColumns {
  std::size_t first = noColumn;
  std::size_t last = noColumn;
  std::size_t email = noColumn;
  std::size_t alertUrl = noColumn;
};

// A header as spreadsheets write it: "First Name", "first_name", "FirstName" and "first-name" are one.
std::string headerKey(std::string_view text) {
  std::string key;
  for (char c : text) {
    if (c == ' ' || c == '_' || c == '-' || c == '\t') continue;
    key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return key;
}

NameColumns findColumns(const CsvRecord& header) {
  NameColumns columns;
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    std::string name = headerKey(header.fields[i]);
    if (name == "firstname" && columns.first == noColumn) columns.first = i;
    if (name == "lastname" && columns.last == noColumn) columns.last = i;
    if (name == "email" && columns.email == noColumn) columns.email = i;
    if (name == "alerturl" && columns.alertUrl == noColumn) columns.alertUrl = i;
  }
  return columns;
}

// A field as the form would take it: trimmed, runs of spaces made one, and
// without the "'" our own export puts before a text that starts like a formula.
std::string nameField(const CsvRecord& record, std::size_t column) {
  if (column >= record.fields.size()) return "";
  std::string value = collapsedSpaces(record.fields[column]);
  if (value.size() > 1 && value[0] == '\'' && std::string_view("=+-@").find(value[1]) != std::string_view::npos) {
    value.erase(0, 1);
  }
  return value;
}

bool isBlank(const CsvRecord& record) {
  return std::all_of(record.fields.begin(), record.fields.end(),
                     [](const std::string& field) { return trimmed(field).empty(); });
}

std::string nameProblem(const ImportedName& name, const std::string& codePage, const AlertTargetRule& rule) {
  std::string problem = checkNamePart("The first name", name.firstName, codePage);
  if (problem.empty()) problem = checkNamePart("The last name", name.lastName, codePage);
  return problem.empty() ? checkContact(name.contact, rule) : problem;
}

// Shown in the preview: the names as read, cut to a readable length.
std::string rowText(const ImportedName& name) {
  std::string text = name.firstName + " " + name.lastName;
  constexpr std::size_t shown = 100;
  if (text.size() <= shown) return text;
  std::size_t cut = shown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  text.resize(cut);
  return text + "…";
}

// A row whose first two words an earlier row or another member already has.
std::string clashProblem(const std::string& displayName, const std::map<std::string, ImportedName>& seen,
                         const std::map<std::string, std::string>& existing) {
  std::string key = lookupName(displayName);
  auto earlier = seen.find(key);
  if (earlier != seen.end()) {
    const ImportedName& row = earlier->second;
    std::string line = "line " + std::to_string(row.line);
    if (row.firstName + " " + row.lastName == displayName) return "The same name as " + line + ".";
    return twoWordClash(displayName, row.firstName + " " + row.lastName + " (" + line + ")");
  }
  auto member = existing.find(key);
  if (member != existing.end() && member->second != displayName) return twoWordClash(displayName, member->second);
  return "";
}

}  // namespace

std::string twoWordClash(const std::string& name, const std::string& clash) {
  return name + " begins with the same two words as " + clash +
         ": notifiers tell staff apart by the first two words of the name.";
}

ImportPreview previewStaffImport(std::string_view csv, const NameSet& existingNames, const std::string& codePage,
                                 const AlertTargetRule& rule) {
  ImportPreview preview;
  std::vector<CsvRecord> records = readCsv(csv);
  if (records.empty()) {
    preview.error = "The file is empty.";
    return preview;
  }
  NameColumns columns = findColumns(records.front());
  if (columns.first == noColumn || columns.last == noColumn) {
    preview.error = "The first row must name the columns first_name and last_name.";
    return preview;
  }
  std::map<std::string, std::string> existing;  // first two words -> the member's display name
  for (const std::string& member : existingNames) existing.emplace(lookupName(member), member);
  std::map<std::string, ImportedName> seen;  // first two words -> their first row in this file
  for (std::size_t i = 1; i < records.size(); ++i) {
    const CsvRecord& record = records[i];
    if (isBlank(record) && !record.unclosedQuote) continue;
    ImportedName name{record.line, nameField(record, columns.first), nameField(record, columns.last),
                      {nameField(record, columns.email), nameField(record, columns.alertUrl)}};
    std::string problem = record.unclosedQuote ? "A quoted field is not closed." : nameProblem(name, codePage, rule);
    std::string displayName = name.firstName + " " + name.lastName;
    std::string key = lookupName(displayName);
    if (problem.empty()) problem = clashProblem(displayName, seen, existing);
    if (!problem.empty()) {
      preview.rejected.push_back({name.line, rowText(name), problem});
      continue;
    }
    seen.emplace(key, name);
    (existingNames.count(displayName) > 0 ? preview.unchanged : preview.added).push_back(std::move(name));
  }
  return preview;
}

std::string staffCsv(const std::vector<StaffRow>& staff, const std::map<std::int64_t, StaffContact>& contacts) {
  std::string text = "\xEF\xBB\xBF" + csvLine({"first_name", "last_name", "email", "alert_url"});
  for (const StaffRow& row : staff) {
    auto contact = contacts.find(row.id);
    StaffContact none;
    const StaffContact& shown = contact == contacts.end() ? none : contact->second;
    text += csvLine({row.firstName, row.lastName, shown.email, shown.alertUrl});
  }
  return text;
}
