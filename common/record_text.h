// Texts that become one line of a record file (the operation log, the call
// records). A record is exactly one line: a line end or another control
// character inside a field, from SIP data or from another program's entry,
// must not start a line that reads as a record of its own.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// The text with every control character (bytes 0 to 31 and 127: CR, LF,
// tab, NUL...) replaced by a blank. Commas and everything else stay.
std::string one_line(std::string_view text);

// The text that format and arguments make, in out. False when the format
// cannot be formatted.
bool format_text(std::string& out, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
