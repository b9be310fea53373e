// The GPIO part of the installer's check. It only reads the value and
// direction files and asks access(2) whether an output could be written; it
// writes nothing; a sandbox's read-only view of /sys (the metrics timer's)
// is seen through (write_access.h).
#include "check/gpio_check.h"

#include <optional>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "check/write_access.h"
#include "common/file_text.h"
#include "common/station_root.h"

namespace {

constexpr const char* area = "gpio";

struct gpio_line {
    int line;
    bool output;
    int rest_level;       // the level at rest for an input; -1 for an output
    const char* role;
    bool two_key_only;    // only the two-key model carries it
};

// The call keys read 1 while released; the tamper switch reads 0 while
// closed and 1 once the housing is opened.
constexpr gpio_line station_lines[] = {
    {140, false, 1, "key 1", false},
    {67, false, 1, "key 2", false},
    {3, false, 0, "the tamper switch", false},
    {131, true, -1, "key 1's LED", false},
    {130, true, -1, "key 1's LED", false},
    {65, true, -1, "key 2's LED", true},
    {64, true, -1, "key 2's LED", true},
    {66, true, -1, "the door relay", false},
};

std::string line_folder(int line)
{
    return station_path("/sys/class/gpio/gpio" + std::to_string(line));
}

std::optional<std::string> first_word(const std::string& path, std::string& error)
{
    std::optional<std::string> text = read_file_text(path, 16, error);
    if (!text)
        return std::nullopt;
    const std::size_t end = text->find_first_of(" \t\r\n");
    return end == std::string::npos ? *text : text->substr(0, end);
}

finding check_line(const gpio_line& g)
{
    const std::string item = "gpio" + std::to_string(g.line);
    const std::string folder = line_folder(g.line);
    const std::string value = folder + "/value";
    std::string error;
    const std::optional<std::string> level = first_word(value, error);
    if (!level)
        return {area, item, verdict::error,
                std::string(g.role) + ": " + error + ": the line is not exported; check the board's GPIO export"};

    if (const std::optional<std::string> direction = first_word(folder + "/direction", error)) {
        const char* wanted = g.output ? "out" : "in";
        if (*direction != wanted)
            return {area, item, verdict::error,
                    std::string(g.role) + ": the direction is \"" + *direction + "\", not \"" + wanted +
                        "\"; set it to " + wanted};
    }

    if (g.output) {
        if (!writable(value))
            return {area, item, verdict::error,
                    std::string(g.role) + ": " + value + " is not writable by this user: the station cannot "
                                                         "switch it; give the station's group write access"};
        return {area, item, verdict::ok, std::string(g.role) + ": output, writable"};
    }

    if (*level != "0" && *level != "1")
        return {area, item, verdict::error,
                std::string(g.role) + ": the value file reads \"" + *level + "\", not a level"};
    const int now = (*level)[0] - '0';
    if (now != g.rest_level) {
        if (g.line == 3)
            return {area, item, verdict::warning,
                    "the tamper switch reads open (1): the station calls the tamper number at each opening; "
                    "close the housing"};
        return {area, item, verdict::warning,
                std::string(g.role) + " reads pressed (0): a stuck or shorted key; release or check its wiring"};
    }
    return {area, item, verdict::ok,
            std::string(g.role) + (g.line == 3 ? ": input, closed" : ": input, released")};
}

}  // namespace

findings check_gpio(const std::string& model)
{
    findings out;
    const bool two_keys = model == "ZR-K11";
    for (const gpio_line& g : station_lines) {
        if (g.two_key_only && !two_keys)
            continue;
        out.push_back(check_line(g));
    }
    return out;
}
