#include "desk/staff_import.h"

#include <algorithm>
#include <map>

#include "desk/validation.h"
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

std::string lowered(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lower;
}

NameColumns findColumns(const CsvRecord& header) {
  NameColumns columns;
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    std::string name = lowered(trimmed(header.fields[i]));
    if (name == "first_name" && columns.first == noColumn) columns.first = i;
    if (name == "last_name" && columns.last == noColumn) columns.last = i;
    if (name == "email" && columns.email == noColumn) columns.email = i;
    if (name == "alert_url" && columns.alertUrl == noColumn) columns.alertUrl = i;
  }
  return columns;
}

// A field as the form would take it: trimmed, and without the "'" our own
// export puts before a text that starts like a formula.
std::string nameField(const CsvRecord& record, std::size_t column) {
  if (column >= record.fields.size()) return "";
  std::string_view value = trimmed(record.fields[column]);
  if (value.size() > 1 && value[0] == '\'' && std::string_view("=+-@").find(value[1]) != std::string_view::npos) {
    value.remove_prefix(1);
  }
  return std::string(value);
}

bool isBlank(const CsvRecord& record) {
  return std::all_of(record.fields.begin(), record.fields.end(),
                     [](const std::string& field) { return trimmed(field).empty(); });
}

std::string nameProblem(const ImportedName& name, const std::string& codePage) {
  std::string problem = checkNamePart("The first name", name.firstName, codePage);
  if (problem.empty()) problem = checkNamePart("The last name", name.lastName, codePage);
  return problem.empty() ? checkContact(name.contact) : problem;
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

}  // namespace

ImportPreview previewStaffImport(std::string_view csv, const NameSet& existingNames, const std::string& codePage) {
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
  std::map<std::string, std::size_t> seen;  // "First Last" -> its first line in this file
  for (std::size_t i = 1; i < records.size(); ++i) {
    const CsvRecord& record = records[i];
    if (isBlank(record) && !record.unclosedQuote) continue;
    ImportedName name{record.line, nameField(record, columns.first), nameField(record, columns.last),
                      {nameField(record, columns.email), nameField(record, columns.alertUrl)}};
    std::string problem = record.unclosedQuote ? "A quoted field is not closed." : nameProblem(name, codePage);
    std::string displayName = name.firstName + " " + name.lastName;
    auto earlier = seen.find(displayName);
    if (problem.empty() && earlier != seen.end()) problem = "The same name as line " + std::to_string(earlier->second) + ".";
    if (!problem.empty()) {
      preview.rejected.push_back({name.line, rowText(name), problem});
      continue;
    }
    seen.emplace(displayName, name.line);
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
