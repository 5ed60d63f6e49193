// The notifiers' install line, as the admin's desk and a host's page show it.
#pragma once

#include <string>

#include "http/server.h"

// The name notifiers on other PCs can reach this server by: the one the
// browser used, unless that only works on this machine.
std::string notifierServiceHost(const HttpRequest& request);
// "msiexec /i vestibra-win64.msi /qn SERVICEHOST=... SERVICEKEY=...".
std::string notifierInstallLine(const std::string& serviceHost, const std::string& key);
