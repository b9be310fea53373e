// Reading a whole small file into a string without iostreams: the
// programs link the C++ runtime statically, and a stream would bring its
// whole locale machinery (about a megabyte) into each of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The first `limit` bytes of the file (all of a file from /proc, whose size
// reads 0), or nothing with the reason in `error` ("cannot read PATH: ...").
std::optional<std::string> read_file_text(const std::string& path, std::size_t limit, std::string& error);
