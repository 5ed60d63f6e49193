// A secret of this installation's own, made once at random and kept in the
// database: what personal notifier keys are derived from.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

// The 32 bytes of the secret, made and saved on first use; read once, then kept in memory.
Outcome installationSecret(std::string& secret);
// The member of staff a guest was announced to; notFound for an unknown id.
Outcome hostOfGuest(std::int64_t notificationId, std::int64_t& staffId);
