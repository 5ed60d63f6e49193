// What counts as one client for fair shares, throttling and connection
// slots: an IPv4 address, or an IPv6 /64 (one host is routinely given a
// whole /64, and would otherwise be millions of clients).
#pragma once

#include <string>

// "192.0.2.7" as it is; "2001:db8:1:2:a:b:c:d" as "2001:db8:1:2::/64"; an
// IPv4-mapped IPv6 address as its IPv4 address; anything else as it is.
std::string clientNetwork(const std::string& address);
