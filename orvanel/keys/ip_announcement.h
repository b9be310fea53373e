// The spoken IP address: a long press of the first key makes the station
// speak the IPv4 address of eth0 digit by digit, in English or Chinese, as
// one mpg123 run over prerecorded files. It runs on the first key's watcher
// thread and returns when the speech has ended.
#pragma once

#include <string>

void announce_ip();

// The dotted IPv4 address of eth0, or false when there is none.
bool read_ip_address(std::string& out);

// The speech command for an address: "cd <sounds>/<lang>/;mpg123 -r 48000 "
// followed by one file per digit or dot, each with a blank.
std::string ip_speech_command(const std::string& address, bool english);
