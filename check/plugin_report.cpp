// The plugin's output is read by the monitoring server, which splits the
// first line at its '|' (the performance data after it) and shows the rest
// on its pages: a finding quotes values from the settings and from Redis,
// so each text is made one line, without control characters, and a '|' in
// it becomes '/'.
#include "check/plugin_report.h"

#include "common/record_text.h"

namespace {

std::string plugin_text(const std::string& text)
{
    std::string out = one_line(text);
    for (char& c : out)
        if (c == '|')
            c = '/';
    return out;
}

std::string problem(const finding& f)
{
    return plugin_text(f.area + "/" + f.item + ": " + f.text);
}

std::string plural(int n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string plugin_report(const findings& all)
{
    int ok = 0, warnings = 0, errors = 0;
    const finding* first = nullptr;  // the first of the worst
    for (const finding& f : all) {
        if (f.level == verdict::ok) {
            ++ok;
            continue;
        }
        if (f.level == verdict::error)
            ++errors;
        else
            ++warnings;
        if (!first || (f.level == verdict::error && first->level != verdict::error))
            first = &f;
    }

    std::string line;
    switch (worst_verdict(all)) {
    case verdict::ok: line = "STATION OK - the station is ready"; break;
    case verdict::warning: line = "STATION WARNING - " + plural(warnings, "warning", "warnings"); break;
    case verdict::error:
        line = "STATION CRITICAL - " + plural(errors, "error", "errors") + ", " +
               plural(warnings, "warning", "warnings");
        break;
    }
    if (first) {
        const std::string text = problem(*first);
        const std::string shown = cut_text(text, plugin_status_text);
        line += ": " + shown + (shown.size() < text.size() ? "..." : "");
    }
    line += " | ok=" + std::to_string(ok) + " warning=" + std::to_string(warnings) + " error=" + std::to_string(errors);

    std::string out = line + "\n";
    for (const verdict level : {verdict::error, verdict::warning})
        for (const finding& f : all)
            if (f.level == level)
                out += std::string(level == verdict::error ? "ERROR " : "WARNING ") + problem(f) + "\n";
    return out;
}

std::string plugin_unknown(const std::string& why)
{
    return "STATION UNKNOWN - " + plugin_text(why) + "\n";
}
