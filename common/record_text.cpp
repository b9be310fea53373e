#include "common/record_text.h"

#include <cstdio>

std::size_t utf8_length(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    }
    return length;
}

namespace {

bool armed(std::string_view cell)
{
    if (cell.empty())
        return false;
    switch (cell[0]) {
    case '=':
    case '@':
    case '"':
        return true;
    case '+':
    case '-':
        return cell.size() < 2 || cell[1] < '0' || cell[1] > '9';
    default:
        return false;
    }
}

}  // namespace

std::string one_line(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7f) {
            out += ' ';
            ++i;
            continue;
        }
        const std::size_t length = utf8_length(text.substr(i));
        if (length == 0) {
            out += '?';
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string cut_text(std::string_view text, std::size_t size)
{
    if (text.size() <= size)
        return std::string(text);
    // Back from the cut over continuation bytes to the character's first
    // byte; the character goes when it does not end before the cut.
    std::size_t start = size;
    while (start > 0 && size - start < 3 && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80)
        --start;
    const std::size_t length = utf8_length(text.substr(start));
    return std::string(text.substr(0, length > 1 && start + length > size ? start : size));
}

std::string unarmed_cell(std::string_view text)
{
    return armed(text) ? "'" + std::string(text) : std::string(text);
}

std::string unarmed_cells(std::string_view text)
{
    std::string out;
    for (std::size_t from = 0;;) {
        const std::size_t comma = text.find(',', from);
        out += unarmed_cell(text.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
        if (comma == std::string_view::npos)
            return out;
        out += ',';
        from = comma + 1;
    }
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
