// The client networks (client_network.h) that logged in to the desk in the
// last 30 days. Their logins keep a reserved place at the head of the
// password hasher's queue, so the desk's own PC logs in promptly however
// many new addresses flood the login.
#pragma once

#include <cstdint>
#include <string>

constexpr std::int64_t knownAddressDays = 30;

// Reads them from the audit log's logins; at start, after the database opens.
void loadKnownDeskAddresses(std::int64_t now);
// A correct login from address, now.
void noteKnownDeskAddress(const std::string& address, std::int64_t now);
// Whether address's network logged in within the last 30 days.
bool isKnownDeskAddress(const std::string& address);
void forgetKnownDeskAddresses();
