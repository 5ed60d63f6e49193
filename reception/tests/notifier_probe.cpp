// Acts as one notifier for the browser test, through the notifier's own
// client code: polls the service once for a user and prints the records,
// optionally archiving the first one as a click on Close would.
// Usage: notifier_probe BASE_URL "FIRST LAST" [archive]
#include <cstdio>
#include <cstring>

#include "text/code_page.h"
#include "reception_client.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: notifier_probe BASE_URL \"FIRST LAST\" [archive]\n");
    return 2;
  }
  serviceBaseUrl = argv[1];
  // The test passes UTF-8; the notifier holds the name in its code page.
  std::string user;
  if (!toCodePage(argv[2], user)) return 2;
  NotificationList list;
  if (fetchNotifications(user.c_str(), list) != 0) return 1;
  bool archive = argc > 3 && std::strcmp(argv[3], "archive") == 0;
  std::int32_t archived = archive && !list.empty() ? archiveNotification(list.front().id) : 0;
  std::printf("\nprobe: %zu waiting, archived %d\n", list.size(), archived);
  for (const Notification& n : list) {
    std::string headline;
    fromCodePage(n.headline, headline);
    std::printf("probe: %s|%s\n", n.id.c_str(), headline.c_str());
  }
  return 0;
}
