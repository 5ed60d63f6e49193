// A QR code of a short text as a PNG image (libqrencode, libpng).
#pragma once

#include <string>

// The PNG's bytes, black modules on white with the quiet zone the standard
// asks for; "" when the text cannot be encoded.
std::string qrPng(const std::string& text);
