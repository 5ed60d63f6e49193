// Behind a load balancer every connection comes from the balancer: the
// client is the address it appends to X-Forwarded-For. Read only from
// proxies the service is told to trust (--trusted-proxy), so that no client
// can pick the address its logins are throttled by.
#pragma once

#include <string>
#include <vector>

// The client of a request from peer: the rightmost X-Forwarded-For entry
// that is not itself a trusted proxy, when peer is one; else peer. An
// entry that is not an IP address ends the search at peer's last trusted hop.
std::string forwardedClient(const std::string& peer, const std::string& forwardedFor,
                            const std::vector<std::string>& trustedProxies);
// Whether text is an IPv4 or IPv6 address.
bool isIpAddress(const std::string& text);
