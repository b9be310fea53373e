// The pieces of a SIP address as the settings and the station's commands
// write them: a user part, a host, a port. Pure checks, so that no text
// reaches an accounts line, a packet filter rule or a control command that
// is not exactly the piece it stands for.
#pragma once

#include <optional>
#include <string>

// True for a number that can stand as the user part of a SIP address: the
// characters of RFC 3261's user part, at least one, with every '%' starting
// an escape of two hex digits. Anything else (blanks, quotes, '@', ':',
// control characters) is refused before it reaches a control command.
bool valid_user_part(const std::string& number);

// A port number, 1 to 65535, in plain decimal digits (no sign, no blank).
std::optional<int> port_number(const std::string& text);

// A host name, an IPv4 address or a bracketed IPv6 address, with an
// optional ":PORT".
bool valid_sip_host(const std::string& host_port);

// True for an IPv6 address written bare: no brackets, no port.
bool bare_ipv6(const std::string& text);

// The host to resolve for a domain, a server or an allowed host: a name, an
// IPv4 address or an IPv6 address, bracketed or bare, with an optional
// ":PORT" after a name, an IPv4 or a bracketed address; the host without
// the port and the brackets. Nothing for any other text.
std::optional<std::string> host_of(const std::string& text);
