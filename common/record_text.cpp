#include "common/record_text.h"

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
