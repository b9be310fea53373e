// Dial requests: a number and its line (which SIP account, or the P2P line)
// become the dial command of the SIP user agent on control-channel.
#pragma once

#include <array>
#include <string>

// Lines: 1 "Auto", 2 to 4 accounts 1 to 3, 5 the P2P line.
enum : int { LINE_AUTO = 1, LINE_P2P = 5 };

// Entry n (1 to 3) is -1 when account n is not enabled, else its position
// among the enabled accounts counted from 0: the account index of a dial
// command. Entry 0 is not used.
using account_list = std::array<int, 4>;
void enabled_accounts(account_list& list);

// The line's name for the operation log; empty for no line.
const char* account_label(int line);

// {"cmd":"dial","data":"<number> <index>"} and the P2P form without index,
// the number escaped for JSON.
std::string dial_command_text(const std::string& number, int account_index);
std::string p2p_dial_command_text(const std::string& number);

// Publishes the dial command for the number on the line; false, publishing
// nothing, when the line's account cannot be used. With echo set the text is
// printed first in debug mode.
bool dial_number(const std::string& number, int line, bool echo);
