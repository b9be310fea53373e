// Action URLs: when a relay request leaves the relay on, outputd fetches the
// configured on URL, when it leaves it off, the off URL. "${ip}" and
// "${mac}" in a URL become the station's IPv4 address and MAC address of
// eth0 first; a look-up that fails leaves its placeholder as it is.
#pragma once

#include <string>

void relay_on_action();
void relay_off_action();

// Replaces every occurrence of the placeholder, from the left.
std::string& replace_all(std::string& text, const std::string& placeholder, const std::string& value);

// 1 and the address on success, 0 on failure.
int lookup_ip_address(std::string& out);
int lookup_mac_address(std::string& out);

// Twelve hexadecimal digits.
bool is_mac_digits(const std::string& text);
