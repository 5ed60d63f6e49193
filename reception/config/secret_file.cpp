#include "config/secret_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

std::string readSecretFile(const std::string& path, const char* what, std::string& secret) {
  secret.clear();
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string("cannot read the ") + what + " password file " + path + ": " + std::strerror(errno);
  std::getline(file, secret);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return "";
}
