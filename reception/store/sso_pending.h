// Single sign-ons on their way through the provider, kept in the database so
// that the provider's callback may reach any instance, not only the one
// that started the sign-in (sso/pending_sign_ins.h holds the rules).
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

struct StoredSignIn {
  std::string state;
  std::string nonce;
  std::string verifier;
  std::string purpose;  // "desk" or "host"
  std::int64_t startedAt = 0;
};

// Saves a sign-in under the hash of its cookie's value, forgetting those
// started at or before forgetUpTo and then the oldest beyond keepAtMost.
Outcome savePendingSignIn(const std::string& keyHash, const StoredSignIn& signIn, std::int64_t forgetUpTo,
                          std::int64_t keepAtMost);
// The sign-in under keyHash, removed in the same transaction: a callback
// is answered once, on whichever instance. notFound when unknown or used.
Outcome takePendingSignIn(const std::string& keyHash, StoredSignIn& signIn);
