// The settings file (speaker.conf) of a station that the kit's tools run:
// the benchmark, the soak and the fuzz station start from one device's
// settings and change only what their work needs, so a key or section that
// the programs rename is renamed here once.
#pragma once

#include <string>
#include <utility>
#include <vector>

class station_settings {
public:
    station_settings() = default;
    // The sections and keys of a settings text ("[section]", "key = value";
    // blank lines and ';' comments left out), in their order.
    explicit station_settings(const std::string& text);

    // Sets the key's value. A new section goes at the end of the file, a new
    // key at the end of its section. A value with ';' or '#' is written in
    // quotes, as the settings reader would otherwise cut it there. A line
    // break anywhere, a section name with ']', or a key that is empty or
    // holds '=' throws std::invalid_argument.
    station_settings& set(const std::string& section, const std::string& key, const std::string& value);

    // "[section]" and its "key = value" lines, a blank line between sections.
    std::string text() const;

private:
    struct ini_section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> keys;  // value as written
    };
    ini_section& section_named(const std::string& name);
    static std::string& value_of(ini_section& s, const std::string& key);

    std::vector<ini_section> sections_;
};

// The settings of the size and shape a device carries, with account 1 as
// user 1000 at the domain given (also its server): key 1 calls 1001 and
// key 2 2001 on that account with nothing retried, the tamper switch plays
// the alarm twice, the door code is 1234 but off, the relay does not follow
// the call state, and no action URLs.
station_settings device_settings(const std::string& domain);
