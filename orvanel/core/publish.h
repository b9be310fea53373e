// Commands to the SIP user agent (Redis list control-channel) and relay
// requests to the output daemon (Redis list output-channel).
#pragma once

#include <string>

// The fixed commands of the SIP user agent.
inline constexpr const char* accept_command = R"({"cmd":"accept","data":""})";
inline constexpr const char* hangup_command = R"({"cmd":"hangup","data":""})";
inline constexpr const char* hangupall_command = R"({"cmd":"hangupall","data":""})";

enum : int { TARGET_CONTROL = 0, TARGET_OUTPUT = 1 };

// Target 1 pushes the text onto output-channel, any other onto
// control-channel; in debug mode the text is printed first.
void publish_command(int target, const std::string& text);

// {"cmd":"play","data":"<path>:<count>"}, the path escaped for JSON.
std::string play_command_text(const std::string& path, int count);
void play_sound(const std::string& path, int count);
