#include "sipbridge/link/netstring.h"

std::string netstring(const std::string& text)
{
    return std::to_string(text.size()) + ":" + text + ",";
}

std::optional<std::string> netstring_reader::next()
{
    if (broken_)
        return std::nullopt;
    const std::size_t colon = buffer_.find(':');
    const std::size_t digits = colon == std::string::npos ? buffer_.size() : colon;
    // Enough digits for the longest frame, and digits only.
    const std::size_t most_digits = std::to_string(longest_).size();
    for (std::size_t i = 0; i < digits; ++i) {
        if (buffer_[i] < '0' || buffer_[i] > '9' || i >= most_digits) {
            broken_ = true;
            return std::nullopt;
        }
    }
    if (colon == std::string::npos)
        return std::nullopt;
    if (colon == 0) {
        broken_ = true;
        return std::nullopt;
    }
    const std::size_t length = std::stoul(buffer_.substr(0, colon));
    if (length > longest_) {
        broken_ = true;
        return std::nullopt;
    }
    const std::size_t end = colon + 1 + length;
    if (buffer_.size() <= end)
        return std::nullopt;
    if (buffer_[end] != ',') {
        broken_ = true;
        return std::nullopt;
    }
    std::string text = buffer_.substr(colon + 1, length);
    buffer_.erase(0, end + 1);
    return text;
}
