#include "store/directory_logins.h"

Outcome writeDirectoryLogins(WriteTransaction& transaction, const std::vector<DirectoryLogin>& logins) {
  for (const DirectoryLogin& entry : logins) {
    Statement update = transaction.prepare(
        "UPDATE staff SET directory_dn = ?2, directory_login = nullif(?3, '') WHERE directory_id = ?1 "
        "AND (directory_dn IS DISTINCT FROM ?2 OR directory_login IS DISTINCT FROM nullif(?3, ''))");
    if (!update.bind(1, entry.identity).bind(2, entry.dn).bind(3, entry.login).run()) {
      return transaction.fail("write of the directory's login names");
    }
  }
  return Outcome::ok;
}
