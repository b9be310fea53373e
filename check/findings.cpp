// The report of station-check: the findings as lines for an installer's
// terminal, or as one JSON object for the device's other software. Texts in
// the findings quote settings and Redis values as they were found, so both
// forms keep such a value from reaching the terminal or the JSON reader as
// anything but text.
#include "check/findings.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "common/c_holders.h"
#include "common/record_text.h"

namespace {

// The text with every control character (a terminal's escape sequences
// among them) and every byte that is not part of well-formed UTF-8 shown as
// "?": a value read from a settings file or from Redis can neither drive the
// installer's terminal nor make the JSON text invalid.
std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = utf8_length(std::string_view(text).substr(i));
        if (length == 0) {
            out += '?';
            ++i;
            continue;
        }
        // C1 controls (U+0080..U+009F) act on some terminals as escapes do.
        if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0)
            out += '?';
        else
            out.append(text, i, length);
        i += length;
    }
    return out;
}

struct counts {
    int ok = 0;
    int warning = 0;
    int error = 0;
};

counts count(const findings& all)
{
    counts n;
    for (const finding& f : all) {
        switch (f.level) {
        case verdict::ok: ++n.ok; break;
        case verdict::warning: ++n.warning; break;
        case verdict::error: ++n.error; break;
        }
    }
    return n;
}

const char* colour_of(verdict level)
{
    switch (level) {
    case verdict::ok: return "\033[32m";
    case verdict::warning: return "\033[33m";
    case verdict::error: return "\033[1;31m";
    }
    return "";
}

// The verdict as the text report shows it, padded to one width.
const char* verdict_label(verdict level)
{
    switch (level) {
    case verdict::ok: return "ok     ";
    case verdict::warning: return "WARNING";
    case verdict::error: return "ERROR  ";
    }
    return "?      ";
}

std::string plural(int n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

const char* verdict_name(verdict level)
{
    switch (level) {
    case verdict::ok: return "ok";
    case verdict::warning: return "warning";
    case verdict::error: return "error";
    }
    return "error";
}

verdict worst_verdict(const findings& all)
{
    verdict worst = verdict::ok;
    for (const finding& f : all) {
        if (f.level == verdict::error)
            return verdict::error;
        if (f.level == verdict::warning)
            worst = verdict::warning;
    }
    return worst;
}

int exit_status(const findings& all)
{
    switch (worst_verdict(all)) {
    case verdict::ok: return 0;
    case verdict::warning: return 1;
    case verdict::error: return 2;
    }
    return 2;
}

std::string findings_text(const findings& all, bool colour, bool problems_only)
{
    std::string out;
    std::string area;
    for (const finding& f : all) {
        if (problems_only && f.level == verdict::ok)
            continue;
        if (f.area != area || out.empty()) {
            area = f.area;
            if (!out.empty())
                out += '\n';
            out += colour ? "\033[1m" + printable(area) + "\033[0m\n" : printable(area) + "\n";
        }
        out += "  ";
        if (colour)
            out += colour_of(f.level);
        out += verdict_label(f.level);
        if (colour)
            out += "\033[0m";
        out += "  ";
        out += printable(f.item);
        out += ": ";
        out += printable(f.text);
        out += '\n';
    }
    const counts n = count(all);
    const verdict worst = worst_verdict(all);
    std::string summary = plural(n.ok, "ok", "ok") + ", " + plural(n.warning, "warning", "warnings") + ", " +
                          plural(n.error, "error", "errors") + ": ";
    switch (worst) {
    case verdict::ok: summary += "the station is ready"; break;
    case verdict::warning: summary += "the station runs; check the warnings"; break;
    case verdict::error: summary += "the station is not ready; fix the errors"; break;
    }
    if (!out.empty())
        out += '\n';
    if (colour)
        out += std::string(colour_of(worst)) + summary + "\033[0m\n";
    else
        out += summary + "\n";
    return out;
}

std::string findings_json(const findings& all)
{
    json_ptr root(cJSON_CreateObject());
    if (!root)
        return "";
    cJSON* list = cJSON_AddArrayToObject(root.get(), "findings");
    if (!list)
        return "";
    for (const finding& f : all) {
        cJSON* item = cJSON_CreateObject();
        if (!item)
            return "";
        cJSON_AddItemToArray(list, item);
        if (!cJSON_AddStringToObject(item, "area", printable(f.area).c_str()) ||
            !cJSON_AddStringToObject(item, "item", printable(f.item).c_str()) ||
            !cJSON_AddStringToObject(item, "verdict", verdict_name(f.level)) ||
            !cJSON_AddStringToObject(item, "text", printable(f.text).c_str()))
            return "";
    }
    const counts n = count(all);
    cJSON* summary = cJSON_AddObjectToObject(root.get(), "summary");
    if (!summary || !cJSON_AddNumberToObject(summary, "ok", n.ok) ||
        !cJSON_AddNumberToObject(summary, "warning", n.warning) ||
        !cJSON_AddNumberToObject(summary, "error", n.error) ||
        !cJSON_AddNumberToObject(summary, "exit", exit_status(all)))
        return "";
    const printed_json_ptr text(cJSON_Print(root.get()));
    return text ? std::string(text.get()) + "\n" : "";
}

bool colour_wanted()
{
    const char* no_colour = std::getenv("NO_COLOR");
    if (no_colour && *no_colour)
        return false;
    return ::isatty(STDOUT_FILENO) == 1;
}
