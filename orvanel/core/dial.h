// Dial requests: a number and its line (which SIP account, or the P2P line)
// become the dial command of the SIP user agent on control-channel. The
// command's text and its account index are the protocol's
// (common/station_protocol.h).
#pragma once

#include <array>
#include <string>

#include "common/station_protocol.h"

// Lines: 1 "Auto", 2 to 4 accounts 1 to 3, 5 the P2P line.
enum : int { LINE_AUTO = 1, LINE_P2P = 5 };

// Entry n (1 to 3) is -1 when account n is not enabled, else its dial index
// (account_index). Entry 0 is not used.
using account_list = std::array<int, 4>;
void enabled_accounts(account_list& list);

// The line's name for the operation log; empty for no line.
const char* account_label(int line);

// Publishes the dial command for the number on the line; false, publishing
// nothing, when the line's account cannot be used. With echo set the text is
// printed first in debug mode.
bool dial_number(const std::string& number, int line, bool echo);
