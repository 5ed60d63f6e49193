// The host of a URL as written, and whether it names this machine's
// loopback: where a password may travel without TLS.
#pragma once

#include <string>
#include <string_view>

// "host" of scheme://[user@]host[:port][/...], without the brackets of an
// IPv6 literal; "" when there is none.
std::string urlHost(std::string_view url);

// "host:port" or "host" of such a URL (brackets kept), without the user:
// what one server answers on.
std::string urlAuthority(std::string_view url);

// localhost, 127.0.0.0/8 in dotted decimal, or ::1. Any other name counts as
// remote, whatever it resolves to now.
bool isLoopbackHost(std::string_view host);
