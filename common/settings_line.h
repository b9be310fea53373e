// A setting as its line stands in the file, before the settings reader cuts
// it. The reader ends an unquoted value at the first ';' or '#', taking the
// rest for a comment, and strips the quotes of a quoted one; a value such as
// "pbx.example:5060;transport=tcp" reaches the programs as
// "pbx.example:5060" without a word. Code that writes another program's
// configuration from the settings checks the raw line first.
#pragma once

#include <map>
#include <optional>
#include <string>

// The keys a section's lines set (in lower case) and the text after each
// key's '=' (its last line's, as the reader takes it), blanks around it
// removed; nothing when the file cannot be read. The file is read once.
// Sections and keys compare without regard to case, as the reader's do.
std::optional<std::map<std::string, std::string>> raw_config_section(const char* path, const std::string& section);

// True when the reader cut this raw value at a ';' or '#' that belongs to it:
// an unquoted value in which one follows a non-blank character. A ';' or
// '#' after a blank starts a comment, as an installer means it.
bool cut_by_comment(const std::string& raw_value);

// The text in lower case: how settings compare that are read without regard
// to case.
std::string lowered(std::string text);
