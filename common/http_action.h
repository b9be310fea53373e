// HTTP actions: a configured URL fetched by curl in the background. Nobody
// waits for the answer or looks at it.
#pragma once

#include <string>

// The URL as one shell word in single quotes; a single quote inside it is
// closed, escaped and reopened, so no URL can end the quoting early.
std::string shell_quote(const std::string& text);

// "curl -k --connect-timeout 5 '<url>' 2>/dev/null &"
std::string http_action_command(const std::string& url);

// Runs the command (printing "Command: ..." first in debug mode).
void run_http_action(const std::string& url);
