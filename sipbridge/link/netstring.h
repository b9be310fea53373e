// The framing of the user agent's control socket: each JSON text travels as
// a netstring, "LEN:TEXT," with LEN the decimal byte count of TEXT.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

std::string netstring(const std::string& text);

// Takes the bytes of the socket as they come and hands out whole frames. A
// stream that breaks the framing (a length that is no number, longer than
// the limit, or a frame that does not end in ',') cannot be resynchronised:
// the reader stays broken and the connection must be made anew.
class netstring_reader {
public:
    explicit netstring_reader(std::size_t longest = 256 * 1024) : longest_(longest) {}

    void feed(const char* bytes, std::size_t count) { buffer_.append(bytes, count); }
    // The next whole frame's text, or nothing until more bytes come.
    std::optional<std::string> next();
    bool broken() const { return broken_; }

private:
    std::size_t longest_;
    std::string buffer_;
    bool broken_ = false;
};
