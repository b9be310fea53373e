// Texts that become one line of a record file (the operation log, the call
// records) or of the message log. A record is exactly one line: a line end or
// another control character inside a field, from SIP data or from another
// program's entry, must not start a line that reads as a record of its own.
// The files are read by the device's pages, by scripts that split at commas
// and by spreadsheets, so text from outside must not arm a cell either.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// The length of the valid UTF-8 character that starts the text, or 0 when
// its first byte starts none: a stray continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF, or a sequence cut short. An ASCII
// byte, control characters among them, is a character of length 1.
std::size_t utf8_length(std::string_view text);

// The text with every control character (bytes 0 to 31 and 127: CR, LF,
// tab, NUL...) replaced by a blank, and every byte that is not part of a
// valid UTF-8 character by '?'. Commas and everything else stay.
std::string one_line(std::string_view text);

// At most `size` bytes of the text. A UTF-8 character that would not fit
// whole is left out rather than cut in two.
std::string cut_text(std::string_view text, std::size_t size);

// A cell that a spreadsheet would take for a formula gets a leading
// apostrophe: one that begins with '=' or '@', or with '+' or '-' not
// followed by a digit (a number such as +4930123 stays as it is). So does
// one that begins with '"', which a CSV reader takes for the start of a
// quoted cell that runs on over the commas and line ends after it.
std::string unarmed_cell(std::string_view text);
// The same for each cell of a text that a reader splits at its commas; the
// commas stay.
std::string unarmed_cells(std::string_view text);

// The text that format and arguments make, in out. False when the format
// cannot be formatted.
bool format_text(std::string& out, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
