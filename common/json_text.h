// Texts placed inside the JSON commands that the programs send. A setting or
// an event may hold a quote or a backslash; escaped, it stays one string and
// can neither break the command nor add members to it.
#pragma once

#include <string>
#include <string_view>

// The text as the contents of a JSON string (without the surrounding quotes).
// Ordinary text comes back unchanged.
std::string json_escape(std::string_view text);

// The member as text when the JSON object has it as a string, else empty.
// A member of another JSON type counts as missing.
struct cJSON;
std::string json_string_member(const cJSON* object, const char* name);
bool json_has_string(const cJSON* object, const char* name);
