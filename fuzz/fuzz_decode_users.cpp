// decodeUsers on any listUsers body: every piece between commas (up to the
// first NUL) is appended in order behind the names already held.
#include "fuzz_check.h"
#include "reception_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(fuzzBytes(data, size));
  UserList users{"Ann Lee", ""};
  decodeUsers(body.c_str(), users);
  FUZZ_CHECK(users.size() >= 2 && users[0] == "Ann Lee" && users[1].empty());

  std::string_view text = untilNul(body);
  std::string joined;
  for (std::size_t i = 2; i < users.size(); ++i) {
    FUZZ_CHECK(users[i].find(',') == std::string::npos);
    joined += (i > 2 ? "," : "") + users[i];
  }
  // Only a comma at the very end is not followed by a piece.
  FUZZ_CHECK(joined == text || joined + "," == text);
  return 0;
}
