// The staff CSV reader and import preview (input: the file's bytes). Records
// start on increasing lines; every record the writer can write comes back
// unchanged; a preview keeps only names the staff form accepts, each once.
#include <set>

#include "text/code_page.h"
#include "text/csv.h"
#include "fuzz_check.h"
#include "desk/staff_import.h"
#include "rules/validation.h"

namespace {

bool writable(const std::vector<std::string>& fields) {
  if (fields.size() == 1 && fields[0].empty()) return false;  // an empty line, which readers skip
  for (const std::string& field : fields) {
    if (!field.empty() && std::string_view("=+-@\t\r").find(field[0]) != std::string_view::npos) return false;
  }
  return true;
}

void checkRecords(std::string_view text) {
  std::vector<CsvRecord> records = readCsv(text);
  std::size_t lastLine = 0;
  for (const CsvRecord& record : records) {
    FUZZ_CHECK(record.line > lastLine && !record.fields.empty());
    lastLine = record.line;
    if (record.unclosedQuote || !writable(record.fields)) continue;
    std::vector<CsvRecord> back = readCsv(csvLine(record.fields));
    FUZZ_CHECK(back.size() == 1 && back[0].fields == record.fields && !back[0].unclosedQuote);
  }
}

void checkPreview(std::string_view text) {
  ImportPreview preview = previewStaffImport(text, {"Anna Schmidt"});
  if (!preview.error.empty()) {
    FUZZ_CHECK(preview.added.empty() && preview.unchanged.empty() && preview.rejected.empty());
    return;
  }
  std::set<std::string> names;
  std::set<std::string> lookups;  // notifiers find staff by the first two words: never shared
  for (const auto* list : {&preview.added, &preview.unchanged}) {
    for (const ImportedName& name : *list) {
      FUZZ_CHECK(checkNamePart("", name.firstName).empty() && checkNamePart("", name.lastName).empty());
      FUZZ_CHECK(names.insert(name.firstName + " " + name.lastName).second);
      FUZZ_CHECK(lookups.insert(lookupName(name.firstName + " " + name.lastName)).second);
      FUZZ_CHECK(name.line > 1);
    }
  }
  for (const RejectedRow& row : preview.rejected) FUZZ_CHECK(!row.reason.empty() && row.line > 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzzBytes(data, size);
  checkRecords(text);
  checkPreview(text);
  return 0;
}
