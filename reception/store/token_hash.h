// Secret tokens as the database keeps them.
#pragma once

#include <cstddef>
#include <string>

// Bytes as lower-case hex.
std::string hexText(const unsigned char* bytes, std::size_t size);
// That many random bytes (libsodium's generator) as hex: tokens and keys.
std::string randomHex(std::size_t bytes);
// What is stored of a secret token (a desk session's, a reply link's): its
// BLAKE2b hash in hex, so a stolen copy of the database replays nothing.
std::string tokenHash(const std::string& token);
