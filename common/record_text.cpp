#include "common/record_text.h"

#include <cstdio>

std::string one_line(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    return out;
}

bool format_text(std::string& out, const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return false;
    out.resize(static_cast<std::size_t>(length) + 1);
    if (std::vsnprintf(out.data(), out.size(), format, args) < 0)
        return false;
    out.resize(static_cast<std::size_t>(length));
    return true;
}
