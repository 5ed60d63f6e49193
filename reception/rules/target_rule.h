// Where an alert may go. A push address comes from a desk form, a CSV file
// or a configuration: one that points back at this machine or its network
// segment (loopback, link-local such as a cloud's metadata address,
// multicast, the unspecified address, or one of the service's own
// listeners) would let whoever enters it make the service talk to itself or
// to what only the server can reach. Checked where an address is entered (a
// literal host) and again when an alert is sent (every address the name
// resolves to, just before connecting).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class AddressKind { ordinary, loopback, linkLocal, multicast, unspecified };

// Pure: what kind of address 4 (IPv4) or 16 (IPv6) bytes are; an IPv4-mapped
// IPv6 address is judged as its IPv4 address.
AddressKind classifyAddress(const unsigned char* bytes, std::size_t length);

// A listening socket of this service; a wildcard address listens on every
// address of the machine.
struct ListenerEndpoint {
  std::string address;  // as given: "127.0.0.1", "0.0.0.0", "::", "localhost"
  std::uint16_t port = 0;
};

struct AlertTargetRule {
  // --alert-allow-loopback: for tests and for relays on the same machine.
  bool allowLoopback = false;
  std::vector<ListenerEndpoint> ownListeners;
  // The machine's own addresses, for listeners on every address; read when needed.
  std::vector<std::string> (*machineAddresses)() = nullptr;
};

// "" when an alert may be sent to this connected-to address and port, else
// why not (for the alert's error). Pure but for rule.machineAddresses.
std::string refusedAddress(const sockaddr* address, const AlertTargetRule& rule);
// The same for an URL's host as entered: "" for a name (judged at send time)
// or an acceptable literal; "localhost" and names under .localhost are loopback.
// port: the URL's port, or its scheme's default.
std::string refusedHost(std::string_view host, std::uint16_t port, const AlertTargetRule& rule);
