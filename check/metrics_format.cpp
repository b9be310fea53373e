// The text of a metrics file. node_exporter's collector refuses a whole file
// for one malformed line (and says so only in node_textfile_scrape_error),
// so every text from outside passes through escaped() first.
#include "check/metrics_format.h"

#include <charconv>
#include <cmath>

#include "common/record_text.h"

namespace {

// The text with the escapes the format knows for the quotes of a label value
// (with_quote) or for a help text; the rest kept to printable UTF-8.
std::string escaped(const std::string& text, bool with_quote)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && with_quote) {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            const std::size_t length = utf8_length(std::string_view(text).substr(i));
            // C1 controls (U+0080..U+009F) act on some terminals as escapes do.
            if (length == 0 || (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0))
                out += '?';
            else
                out.append(text, i, length);
            i += length == 0 ? 1 : length;
            continue;
        }
        ++i;
    }
    return out;
}

}  // namespace

std::string label_value_text(const std::string& value)
{
    return escaped(value, true);
}

std::string help_text(const std::string& help)
{
    return escaped(help, false);
}

std::string sample_value_text(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    // Whole numbers up to 2^53 are exact in a double: written as integers,
    // so a time stamp never turns into 1.7e+09.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
        return std::to_string(static_cast<long long>(value));
    char text[32];
    const std::to_chars_result done = std::to_chars(text, text + sizeof text, value);
    return std::string(text, done.ptr);
}

std::string exposition_text(const std::vector<metric_family>& families)
{
    std::string out;
    for (const metric_family& family : families) {
        if (family.samples.empty())
            continue;
        out += "# HELP " + family.name + " " + help_text(family.help) + "\n";
        out += "# TYPE " + family.name + " " + family.type + "\n";
        for (const metric_sample& sample : family.samples) {
            out += family.name;
            if (!sample.labels.empty()) {
                out += '{';
                for (std::size_t i = 0; i < sample.labels.size(); ++i) {
                    if (i > 0)
                        out += ',';
                    out += sample.labels[i].first + "=\"" + label_value_text(sample.labels[i].second) + "\"";
                }
                out += '}';
            }
            out += " " + sample_value_text(sample.value) + "\n";
        }
    }
    return out;
}
