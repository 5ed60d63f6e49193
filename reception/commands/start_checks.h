// Checks made once at start, after the service has dropped to the user it
// runs as: a setting that would only fail later (at the first directory
// sync, the first alert, the first reply link) stops the start instead,
// naming the option, the file and the reason.
#pragma once

#include <cstdint>
#include <string>

#include "commands/options.h"
#include "http/request_guard.h"

// "" or why one of the files the service reads later (password, key and
// CA files) cannot be read by the user the service now runs as.
std::string checkReadableFiles(const ReceptionOptions& options);

// The notifiers' key from the first line of --key-file; "" or why not.
std::string readKeyFile(const std::string& path, std::string& key);

// The machine's fully qualified name, else its host name.
std::string machineFullName();

// The reply links' base when --public-url is not given: the machine's fully
// qualified name, over HTTPS on the TLS port when the desk is served there.
std::string defaultPublicUrl(const std::string& machineName, std::uint16_t plainPort, std::uint16_t tlsPort);

// Whether the desk would answer a reply link under publicUrl: "" when it
// would, else why not (its port is not one the service listens on, it is
// not http(s)). When only the host name is unknown, the desk is told to
// answer to it (added to origin) and warning names --host-name.
std::string checkPublicUrl(const std::string& publicUrl, DeskOrigin& origin, std::string& warning);
