#include "directory/directory_diff.h"

#include <algorithm>
#include <map>

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
// reserve another name (its row keeps its old one), so the claims start over
// after each; rejections are rare, and each pass is linear.
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
    for (bool again = true; again;) {
      again = false;
      std::map<std::string, const DirectoryEntry*> claimed;
      for (Candidate& candidate : candidates) {
        if (candidate.rejected) continue;
        std::string key = lookupName(candidate.name);
        std::string reason = conflict(key, claimed);
        if (reason.empty()) {
          claimed.emplace(key, candidate.entry);
          continue;
        }
        candidate.rejected = true;
        reject(*candidate.entry, candidate.row, reason);
        again = true;
        break;
      }
    }
  }

 private:
  std::string conflict(const std::string& key, const std::map<std::string, const DirectoryEntry*>& claimed) const {
    const char* same = "The same name, or the same first two words,";
    if (handKeys_.count(key) > 0) return std::string(same) + " as a member of staff added by hand.";
    if (reserved_.count(key) > 0) return std::string(same) + " as a member of staff whose directory entry is rejected.";
    auto earlier = claimed.find(key);
    if (earlier != claimed.end()) return std::string(same) + " as " + earlier->second->dn + ".";
    return "";
  }

  DirectoryPlan& plan_;
  std::set<std::string> handKeys_;
  std::set<std::string> reserved_;
};

bool differs(const DirectoryStaff& row, const DirectoryEntry& entry) {
  return !row.active || row.firstName != entry.firstName || row.lastName != entry.lastName ||
         row.email != entry.email;
}

}  // namespace

DirectoryPlan planDirectorySync(const std::vector<DirectoryEntry>& entries, const std::vector<DirectoryStaff>& rows,
                                const std::set<std::string>& handNames) {
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
    std::string problem = nameProblem(entry);
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
  return plan;
}

bool exceedsSafetyStop(const DirectoryPlan& plan) { return plan.deactivated.size() * 2 > plan.activeBefore; }

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
