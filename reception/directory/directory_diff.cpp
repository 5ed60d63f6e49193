#include "directory/directory_diff.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "rules/validation.h"

namespace {

std::string displayName(const std::string& firstName, const std::string& lastName) { return firstName + " " + lastName; }

std::string nameProblem(const DirectoryEntry& entry) {
  std::string problem = checkNamePart("The first name (givenName)", entry.firstName);
  return problem.empty() ? checkNamePart("The last name (sn)", entry.lastName) : problem;
}

struct Candidate {
  const DirectoryEntry* entry = nullptr;
  const DirectoryStaff* row = nullptr;  // its staff row, if it has one
  std::string name;
  bool rejected = false;
};

bool keepsName(const Candidate& candidate) {
  return candidate.row != nullptr && candidate.row->active &&
         candidate.name == displayName(candidate.row->firstName, candidate.row->lastName);
}

// Sorts out which candidates may have their names. Names held by staff added
// by hand and by the rows of rejected entries are reserved; among the rest the
// first claim wins. Entries keeping their present name claim first, so that a
// newcomer never pushes out someone already on the desk. A rejection may
// reserve another name (its row keeps its old one): an earlier candidate that
// claimed it is rejected in turn, and so on. Each candidate is rejected at
// most once, so the whole is one pass, whatever the directory holds.
class NameClaims {
 public:
  // Names are compared by their first two words, by which notifiers tell staff apart.
  NameClaims(DirectoryPlan& plan, const std::set<std::string>& handNames) : plan_(plan) {
    for (const std::string& name : handNames) handKeys_.insert(lookupName(name));
  }

  void reject(const DirectoryEntry& entry, const DirectoryStaff* row, const std::string& reason) {
    plan_.rejected.push_back({entry.dn, reason});
    if (row != nullptr && row->active) reserved_.insert(lookupName(displayName(row->firstName, row->lastName)));
  }

  void settle(std::vector<Candidate>& candidates) {
    std::stable_partition(candidates.begin(), candidates.end(), keepsName);
    candidates_ = &candidates;
    for (std::size_t index = 0; index < candidates.size(); ++index) {
      if (candidates[index].rejected) continue;
      std::string key = lookupName(candidates[index].name);
      std::string reason = conflict(key);
      if (reason.empty()) {
        claimed_.emplace(std::move(key), index);
      } else {
        rejectInTurn(index, reason);
      }
    }
    candidates_ = nullptr;
  }

 private:
  // Rejects the candidate, then whoever claimed a name its rejection reserves.
  void rejectInTurn(std::size_t index, std::string reason) {
    std::vector<std::pair<std::size_t, std::string>> pending{{index, std::move(reason)}};
    while (!pending.empty()) {
      auto [next, why] = std::move(pending.back());
      pending.pop_back();
      Candidate& candidate = (*candidates_)[next];
      candidate.rejected = true;
      plan_.rejected.push_back({candidate.entry->dn, why});
      const DirectoryStaff* row = candidate.row;
      if (row == nullptr || !row->active) continue;
      std::string key = lookupName(displayName(row->firstName, row->lastName));
      if (!reserved_.insert(key).second) continue;
      auto holder = claimed_.find(key);
      if (holder == claimed_.end()) continue;
      pending.emplace_back(holder->second, conflict(key));
      claimed_.erase(holder);
    }
  }

  std::string conflict(const std::string& key) const {
    const char* same = "The same name, or the same first two words,";
    if (handKeys_.count(key) > 0) return std::string(same) + " as a member of staff added by hand.";
    if (reserved_.count(key) > 0) return std::string(same) + " as a member of staff whose directory entry is rejected.";
    auto earlier = claimed_.find(key);
    if (earlier != claimed_.end()) return std::string(same) + " as " + (*candidates_)[earlier->second].entry->dn + ".";
    return "";
  }

  DirectoryPlan& plan_;
  std::set<std::string> handKeys_;
  std::set<std::string> reserved_;
  std::unordered_map<std::string, std::size_t> claimed_;  // name key -> the candidate holding it
  std::vector<Candidate>* candidates_ = nullptr;
};

bool differs(const DirectoryStaff& row, const DirectoryEntry& entry) {
  return !row.active || row.firstName != entry.firstName || row.lastName != entry.lastName ||
         row.email != entry.email;
}

}  // namespace

namespace {

// Counts the baseline's rows that are inactive after the plan.
void weighAgainstBaseline(DirectoryPlan& plan, const std::vector<DirectoryStaff>& rows,
                          const std::vector<std::int64_t>& baseline) {
  std::unordered_map<std::int64_t, bool> activeAfter;
  for (const DirectoryStaff& row : rows) activeAfter[row.id] = row.active;
  for (const DeactivatedStaff& staff : plan.deactivated) activeAfter[staff.id] = false;
  for (const StaffUpdate& update : plan.updated) activeAfter[update.id] = true;
  std::set<std::int64_t> counted;
  for (std::int64_t id : baseline) {
    auto row = activeAfter.find(id);
    if (row == activeAfter.end() || !counted.insert(id).second) continue;
    ++plan.baselineActive;
    if (!row->second) ++plan.baselineGone;
  }
}

}  // namespace

DirectoryPlan planDirectorySync(const std::vector<DirectoryEntry>& entries, const std::vector<DirectoryStaff>& rows,
                                const std::set<std::string>& handNames, const std::vector<std::int64_t>& baseline) {
  DirectoryPlan plan;
  std::map<std::string, const DirectoryStaff*> rowByIdentity;
  for (const DirectoryStaff& row : rows) {
    rowByIdentity.emplace(row.identity, &row);
    if (row.active) ++plan.activeBefore;
  }
  NameClaims claims(plan, handNames);
  std::map<std::string, const DirectoryEntry*> seen;  // identity -> its first entry
  std::vector<Candidate> candidates;
  for (const DirectoryEntry& entry : entries) {
    auto first = seen.emplace(entry.identity, &entry);
    if (!first.second) {
      claims.reject(entry, nullptr, "The same identity as " + first.first->second->dn + ".");
      continue;
    }
    auto row = rowByIdentity.find(entry.identity);
    const DirectoryStaff* staff = row == rowByIdentity.end() ? nullptr : row->second;
    std::string problem = entry.problem.empty() ? nameProblem(entry) : entry.problem;
    if (!problem.empty()) {
      claims.reject(entry, staff, problem);
      continue;
    }
    candidates.push_back({&entry, staff, displayName(entry.firstName, entry.lastName)});
  }
  claims.settle(candidates);
  for (const Candidate& candidate : candidates) {
    if (candidate.rejected) continue;
    const DirectoryStaff* row = candidate.row;
    if (row == nullptr) {
      plan.added.push_back(*candidate.entry);
    } else if (differs(*row, *candidate.entry)) {
      plan.updated.push_back({row->id, *candidate.entry, displayName(row->firstName, row->lastName), !row->active});
    } else {
      ++plan.unchanged;
    }
  }
  for (const DirectoryStaff& row : rows) {
    if (row.active && seen.count(row.identity) == 0) {
      plan.deactivated.push_back({row.id, displayName(row.firstName, row.lastName)});
    }
  }
  weighAgainstBaseline(plan, rows, baseline);
  return plan;
}

bool exceedsSafetyStop(const DirectoryPlan& plan) {
  return plan.deactivated.size() * 2 > plan.activeBefore || plan.baselineGone * 2 > plan.baselineActive;
}

std::string planSummary(const DirectoryPlan& plan) {
  return "added " + std::to_string(plan.added.size()) + ", updated " + std::to_string(plan.updated.size()) +
         ", deactivated " + std::to_string(plan.deactivated.size()) + ", unchanged " + std::to_string(plan.unchanged) +
         ", rejected " + std::to_string(plan.rejected.size());
}

std::optional<std::string> usableEmail(const std::string& mail) {
  std::size_t at = mail.find('@');
  bool oneAt = at != std::string::npos && at > 0 && at + 1 < mail.size() && mail.find('@', at + 1) == std::string::npos;
  bool plain = std::none_of(mail.begin(), mail.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte == 0x7F || c == ',' || c == '<' || c == '>';
  });
  // 254: the longest address a mail path can carry (RFC 5321).
  if (!oneAt || !plain || mail.size() > 254) return std::nullopt;
  return mail;
}
