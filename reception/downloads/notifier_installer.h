// The notifiers' installer (the MSI the package ships), offered for download
// at /downloads/vestibra-win64.msi so an office needs no build machine. Read
// once at start, as the user the service runs as; served from memory.
#pragma once

#include <string>
#include <string_view>

#include "http/server.h"

constexpr char notifierInstallerUrl[] = "/downloads/vestibra-win64.msi";

// Reads the installer; "" when it was read or does not exist (a build from
// source has none: nothing is offered), else why it cannot be read.
std::string loadNotifierInstaller(const std::string& path);
// Whether an installer was loaded.
bool notifierInstallerOffered();
// GET /downloads/vestibra-win64.msi.
HttpResponse answerNotifierInstaller(const HttpRequest& request, std::string_view path);
