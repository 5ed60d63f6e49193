// Directory entries through planning (input: lines; "A dn|name=value|..."
// an entry as a server sends its attributes, "R id|identity|first|last|0/1"
// a staff row from the directory, "H name" a name added by hand, "B id" a row
// active three syncs back). Every entry is sorted into exactly one outcome;
// only names the staff form accepts are added or given, none twice and
// none of a hand-added name; a value past the limit is never kept whole;
// rows whose entry is gone, and only those, are deactivated.
#include <set>
#include <string>
#include <vector>

#include "rules/validation.h"
#include "directory/directory_diff.h"
#include "directory/ldap_reader.h"
#include "fuzz_check.h"
#include "store/staff.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string_view rest = text;
  while (!rest.empty()) parts.push_back(takePart(rest, separator));
  return parts;
}

std::int64_t number(const std::string& text) {
  std::int64_t value = 0;
  for (char c : text.substr(0, 6)) value = value * 10 + static_cast<unsigned char>(c) % 10;
  return value;
}

DirectoryEntry entryOf(const std::string& line) {
  std::vector<std::string> parts = split(line, '|');
  std::vector<RawAttribute> attributes;
  for (std::size_t at = 1; at < parts.size(); ++at) {
    std::size_t equals = parts[at].find('=');
    std::string name = parts[at].substr(0, equals);
    std::string value = equals == std::string::npos ? "" : parts[at].substr(equals + 1);
    // Short inputs reach the limit too: a value of "*N" stands for N+1000 bytes.
    if (value.size() > 1 && value[0] == '*') value = std::string(1000 + number(value.substr(1)) % 64, 'v');
    attributes.push_back({name, {value}});
  }
  DirectoryEntry entry = entryFromValues(parts.empty() ? "" : parts[0], attributes);
  FUZZ_CHECK(entry.dn.size() <= ldapMaxValueBytes && entry.firstName.size() <= ldapMaxValueBytes &&
             entry.lastName.size() <= ldapMaxValueBytes && entry.identity.size() <= 2 * ldapMaxValueBytes);  // objectGUID as hex
  bool tooLong = !parts.empty() && parts[0].size() > ldapMaxValueBytes;
  // The first value of the first of each attribute read is what counts.
  std::set<std::string> read = {"givenName", "sn", "mail", "entryUUID", "objectGUID"};
  for (const RawAttribute& attribute : attributes) {
    if (read.erase(attribute.name) > 0 && attribute.values[0].size() > ldapMaxValueBytes) tooLong = true;
  }
  FUZZ_CHECK(tooLong == !entry.problem.empty());
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<DirectoryEntry> entries;
  std::vector<DirectoryStaff> rows;
  std::set<std::string> handNames;
  std::vector<std::int64_t> baseline;
  std::set<std::int64_t> rowIds;
  std::set<std::string> rowIdentities;
  for (const std::string& line : split(std::string(fuzzBytes(data, size)), '\n')) {
    std::string rest = line.size() > 2 ? line.substr(2) : "";
    if (line[0] == 'A') {
      entries.push_back(entryOf(rest));
    } else if (line[0] == 'R') {
      std::vector<std::string> parts = split(rest, '|');
      parts.resize(5);
      std::int64_t id = number(parts[0]);
      // The database holds each id and identity once.
      if (!rowIds.insert(id).second || !rowIdentities.insert(parts[1]).second) continue;
      rows.push_back({id, parts[1], parts[2], parts[3], std::nullopt, parts[4] != "0"});
    } else if (line[0] == 'H') {
      handNames.insert(rest);
    } else if (line[0] == 'B') {
      baseline.push_back(number(rest));
    }
  }
  DirectoryPlan plan = planDirectorySync(entries, rows, handNames, baseline);
  FUZZ_CHECK(plan.added.size() + plan.updated.size() + plan.unchanged + plan.rejected.size() == entries.size());
  FUZZ_CHECK(plan.baselineGone <= plan.baselineActive);
  std::set<std::string> handKeys;
  for (const std::string& name : handNames) handKeys.insert(lookupName(name));
  std::set<std::string> keys;
  auto given = [&](const DirectoryEntry& entry) {
    FUZZ_CHECK(entry.problem.empty());
    FUZZ_CHECK(checkNamePart("", entry.firstName).empty() && checkNamePart("", entry.lastName).empty());
    std::string key = lookupName(entry.firstName + " " + entry.lastName);
    FUZZ_CHECK(handKeys.count(key) == 0 && keys.insert(key).second);
  };
  for (const DirectoryEntry& entry : plan.added) given(entry);
  for (const StaffUpdate& update : plan.updated) given(update.entry);
  std::set<std::string> identities;
  for (const DirectoryEntry& entry : entries) identities.insert(entry.identity);
  std::size_t gone = 0;
  for (const DirectoryStaff& row : rows) gone += row.active && identities.count(row.identity) == 0 ? 1 : 0;
  FUZZ_CHECK(plan.deactivated.size() == gone);
  static_cast<void>(exceedsSafetyStop(plan));
  static_cast<void>(planSummary(plan));
  return 0;
}
