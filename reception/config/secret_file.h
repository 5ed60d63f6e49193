// Passwords the service is given in files of their own (--smtp-password-file,
// --ldap-password-file), never on the command line.
#pragma once

#include <string>

// The file's first line, without its line break, into secret; "" or an error
// naming what the file was for ("SMTP", "LDAP") and why it cannot be read.
std::string readSecretFile(const std::string& path, const char* what, std::string& secret);
