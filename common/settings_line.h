// A setting as its line stands in the file, before the settings reader cuts
// it. The reader ends an unquoted value at the first ';' or '#', taking the
// rest for a comment, and strips the quotes of a quoted one; a value such as
// "pbx.example:5060;transport=tcp" reaches the programs as
// "pbx.example:5060" without a word. Code that writes another program's
// configuration from the settings checks the raw line first.
#pragma once

#include <optional>
#include <string>

// The text after the '=' of the line that sets "section:key" (the last such
// line, as the reader takes it), blanks around it removed; nothing when the
// file cannot be read or no line sets the key. Sections and keys compare
// without regard to case, as the reader's do.
std::optional<std::string> raw_config_value(const char* path, const char* key);

// True when the reader cut this raw value at a ';' or '#' that belongs to it:
// an unquoted value in which one follows a non-blank character. A ';' or
// '#' after a blank starts a comment, as an installer means it.
bool cut_by_comment(const std::string& raw_value);
