#include "simulator/station_sim/timing_chart.h"

#include <algorithm>
#include <functional>
#include <sstream>

namespace {

constexpr double px_per_second = 40.0;
constexpr int label_width = 190;
constexpr int row_height = 44;
constexpr int top = 270;  // room for the markers' labels

struct signal_row {
    const char* label;
    const char* colour;
    std::function<int(const station_sample&)> level;
};

double x_of(double t)
{
    return label_width + t * px_per_second;
}

std::string status_colour(const std::string& words)
{
    if (words == "in call")
        return "#9fd89f";
    if (words == "ringing out" || words == "ringing in")
        return "#f6d47a";
    if (words == "idle")
        return "#e4e4e4";
    return "#f2b8b8";
}

}  // namespace

std::string xml_escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string timing_chart_svg(const std::vector<station_sample>& samples, const std::vector<station_marker>& markers)
{
    const std::vector<signal_row> rows = {
        {"key 1 blue (gpio131)", "#1f5fd6", [](const station_sample& s) { return s.key1_blue; }},
        {"key 1 other (gpio130)", "#d65f1f", [](const station_sample& s) { return s.key1_other; }},
        {"key 2 blue (gpio65)", "#1f5fd6", [](const station_sample& s) { return s.key2_blue; }},
        {"key 2 other (gpio64)", "#d65f1f", [](const station_sample& s) { return s.key2_other; }},
        {"relay (gpio66)", "#2a9d3a", [](const station_sample& s) { return s.relay; }},
    };
    const double end = samples.empty() ? 1.0 : samples.back().t;
    const int width = static_cast<int>(x_of(end)) + 380;
    const int status_top = top + static_cast<int>(rows.size()) * row_height;
    const int height = status_top + row_height + 50;

    std::ostringstream svg;
    svg << R"(<svg xmlns="http://www.w3.org/2000/svg" width=")" << width << R"(" height=")" << height
        << R"(" font-family="sans-serif" font-size="12">)" << "\n";
    svg << R"(<rect width="100%" height="100%" fill="white"/>)" << "\n";
    svg << R"(<text x="10" y="20" font-size="15" font-weight="bold">Simulated station: LEDs, relay and call status</text>)"
        << "\n";

    // Time grid every second, labelled every five.
    for (int s = 0; s <= static_cast<int>(end); ++s) {
        const double x = x_of(s);
        svg << R"(<line x1=")" << x << R"(" y1=")" << top - 10 << R"(" x2=")" << x << R"(" y2=")" << status_top + row_height
            << R"(" stroke=")" << (s % 5 == 0 ? "#cccccc" : "#eeeeee") << R"("/>)" << "\n";
        if (s % 5 == 0)
            svg << R"(<text x=")" << x << R"(" y=")" << status_top + row_height + 18 << R"(" text-anchor="middle">)" << s
                << "s</text>\n";
    }

    for (std::size_t r = 0; r < rows.size(); ++r) {
        const int y_top = top + static_cast<int>(r) * row_height;
        const int high = y_top + 8, low = y_top + row_height - 10;
        svg << R"(<text x="10" y=")" << (y_top + row_height / 2 + 4) << R"(">)" << rows[r].label << "</text>\n";
        svg << R"(<polyline fill="none" stroke-width="2" stroke=")" << rows[r].colour << R"(" points=")";
        int previous = -1;
        for (const station_sample& s : samples) {
            const int level = rows[r].level(s);
            const double x = x_of(s.t);
            if (previous >= 0 && level != previous)
                svg << x << "," << (previous ? high : low) << " ";
            svg << x << "," << (level ? high : low) << " ";
            previous = level;
        }
        svg << R"("/>)" << "\n";
    }

    // The call status as a bus: one labelled box per stretch of equal status.
    svg << R"(<text x="10" y=")" << (status_top + row_height / 2 + 4) << R"(">call status</text>)" << "\n";
    for (std::size_t i = 0; i < samples.size();) {
        std::size_t j = i;
        const std::string words = call_status_words(samples[i].call_status);
        while (j < samples.size() && call_status_words(samples[j].call_status) == words)
            ++j;
        const double x0 = x_of(samples[i].t);
        const double x1 = j < samples.size() ? x_of(samples[j].t) : x_of(end);
        svg << R"(<rect x=")" << x0 << R"(" y=")" << status_top + 6 << R"(" width=")" << std::max(1.0, x1 - x0)
            << R"(" height=")" << row_height - 14 << R"(" fill=")" << status_colour(words)
            << R"(" stroke="#888888"/>)" << "\n";
        if (x1 - x0 > 50)
            svg << R"(<text x=")" << x0 + 4 << R"(" y=")" << status_top + row_height / 2 + 4 << R"(">)"
                << xml_escape(words) << "</text>\n";
        i = j;
    }

    for (const station_marker& m : markers) {
        const double x = x_of(m.t);
        svg << R"(<line x1=")" << x << R"(" y1=")" << top - 10 << R"(" x2=")" << x << R"(" y2=")" << status_top + row_height
            << R"(" stroke="#7a3fb0" stroke-dasharray="4,3"/>)" << "\n";
        svg << R"svg(<text transform="translate()svg" << x + 3 << "," << top - 14
            << R"svg() rotate(-30)" fill="#7a3fb0" font-size="11">)svg" << xml_escape(m.text) << "</text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}
