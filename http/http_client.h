// One blocking HTTP/1.0 GET per call over a fresh TCP connection to port 80,
// with the response cut into its header text and its body.
// Errors: every failure is an empty body of length 0 and an empty header,
// which callers decode like an answer with nothing in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Every request ends within this many milliseconds, name lookup, connect,
// send and every receive included, so a silent, unreachable or trickling
// server, or a resolver that does not answer, never keeps the window from
// answering for 4 s. An answer on a LAN takes milliseconds; the largest one
// allowed (16 MiB) about 1.5 s at 100 Mbit/s.
extern int requestTimeoutMs;
// A response larger than this ends the request as a failure.
constexpr std::size_t maxResponseBytes = std::size_t{16} * 1024 * 1024;

// Fetches url. Returns the body (NUL-terminated, bodyLength bytes before the
// NUL) and stores the header text in headers, both allocated with array new.
// Any failure (no connection, nothing received, no header terminator, time-out,
// over the cap) gives an empty body of length 0 and an empty header.
// The caller must have started Windows Sockets.
std::unique_ptr<char[]> readUrl(const char* url, std::int32_t& bodyLength, std::unique_ptr<char[]>& headers);

// Cuts size received bytes (with a NUL behind them) after the header
// terminator into body and header as readUrl hands them over; without a
// terminator both are empty.
std::unique_ptr<char[]> cutResponse(const char* response, std::size_t size, std::int32_t& bodyLength,
                                    std::unique_ptr<char[]>& headers);

// Host and path of a URL: an "http://" and then an "https://" prefix are
// dropped, the host runs to the first "/", the path is the rest ("/" if none).
void splitUrl(const std::string& url, std::string& host, std::string& path);

// A connected TCP socket, or 0, within requestTimeoutMs. Dotted-decimal hosts
// are connected to directly; other names are looked up as lookUpHostBefore does.
std::uintptr_t connectToHost(const char* hostName, std::uint16_t port);

// Offset of the first byte after the header terminator ("\r\n\r\n", else
// "\n\r\n\r") in NUL-terminated text, or -1 when there is none.
std::int32_t findBodyOffset(const char* text);

// The request bytes for a host and a path. Bytes that could end the request
// line or start a header line (controls, space, DEL, 0x80 and up) are
// percent-encoded, so the request always has one request line and one Host line.
std::string buildRequest(const std::string& host, const std::string& path);

// text with every byte for which keep is false written as "%" and two
// upper-case hex digits.
std::string percentEncode(std::string_view text, bool (*keep)(unsigned char));
