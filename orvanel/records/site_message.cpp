#include "orvanel/records/site_message.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// Facility local0: the station's own events, which a site routes apart from
// the board's system messages.
constexpr int facility_local0 = 16;
constexpr int severity_warning = 4;
constexpr int severity_notice = 5;
constexpr int severity_info = 6;

constexpr const char* app_name = "orvanel";

bool starts_with(std::string_view text, std::string_view head)
{
    return text.substr(0, head.size()) == head;
}

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

// The first `count` - 1 comma-separated fields, and the rest as the last one
// (a comma inside a detail or a reason only adds a column in the file).
std::vector<std::string_view> fields_of(std::string_view line, std::size_t count)
{
    std::vector<std::string_view> out;
    while (out.size() + 1 < count) {
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos)
            break;
        out.push_back(line.substr(0, comma));
        line.remove_prefix(comma + 1);
    }
    out.push_back(line);
    out.resize(count);
    return out;
}

struct entry_fields {
    std::string_view category, event, detail;
};

entry_fields entry_of(std::string_view entry)
{
    const std::vector<std::string_view> f = fields_of(entry, 3);
    return {f[0], f[1], f[2]};
}

void add_param(std::string& out, const char* name, std::string_view value)
{
    out += ' ';
    out += name;
    out += "=\"";
    out += site_param_value(value);
    out += '"';
}

// Header, [meta] and [station]; the caller adds its own element and the
// message text.
std::string message_head(int severity, const std::string& kind, const site_origin& origin, const site_stamp& stamp)
{
    std::string out = "<" + std::to_string(facility_local0 * 8 + severity) + ">1 " + site_timestamp(stamp.unix_ms) +
                      " " + site_header_field(origin.name, 255) + " " + app_name + " " + std::to_string(origin.pid) +
                      " " + kind + " [meta";
    if (stamp.sequence > 0)
        add_param(out, "sequenceId", std::to_string(stamp.sequence));
    add_param(out, "sysUpTime", std::to_string(stamp.uptime_cs));
    out += "][station@";
    out += site_enterprise;
    add_param(out, "name", origin.name);
    if (!origin.mac.empty())
        add_param(out, "mac", origin.mac);
    out += ']';
    return out;
}

}  // namespace

std::string site_entry_kind(std::string_view entry)
{
    const entry_fields e = entry_of(entry);
    if (e.category == "BUTTON")
        return contains(e.event, "GPIO3") ? "tamper" : "key";
    if (e.category == "SIP STATE") {
        if (contains(e.event, "CALL"))
            return "call";
        return "sip";
    }
    if (e.category == "FUNCTION") {
        if (e.event == "RELAY Control")
            return "relay";
        if (starts_with(e.event, "DTMF ") || e.event == "RECEIVE DTMF" || e.event == "RELAY Request")
            return "door";
        // The tamper key's actions: its call and its alarm sound.
        if (starts_with(e.event, "KEY3 ") || contains(e.event, "Play"))
            return "tamper";
        if (starts_with(e.event, "KEY"))
            return "call";
    }
    return "other";
}

int site_entry_severity(std::string_view entry)
{
    const std::string kind = site_entry_kind(entry);
    const entry_fields e = entry_of(entry);
    if (kind == "tamper" || contains(e.event, "FAILED") || e.event == "APP EXIT" || e.event == "DTMF LOCKED")
        return severity_warning;
    if (kind == "door" && e.event != "RECEIVE DTMF")
        return severity_notice;
    if (kind == "relay")
        return severity_notice;
    return severity_info;
}

std::string site_entry_message(std::string_view entry, const site_origin& origin, const site_stamp& stamp)
{
    const entry_fields e = entry_of(entry);
    std::string out = message_head(site_entry_severity(entry), site_entry_kind(entry), origin, stamp);
    out += "[entry@";
    out += site_enterprise;
    add_param(out, "category", e.category);
    add_param(out, "event", e.event);
    add_param(out, "detail", e.detail);
    out += "] ";
    out += entry;
    return out;
}

std::string site_record_message(std::string_view line, const site_origin& origin, const site_stamp& stamp)
{
    static constexpr std::array<const char*, 9> names = {"date",     "start",     "end",     "account", "peer",
                                                         "duration", "direction", "outcome", "reason"};
    const std::vector<std::string_view> f = fields_of(line, names.size());
    std::string out = message_head(severity_info, "record", origin, stamp);
    out += "[record@";
    out += site_enterprise;
    for (std::size_t i = 0; i < names.size(); ++i)
        add_param(out, names[i], f[i]);
    out += "] ";
    out += line;
    return out;
}

std::string site_param_value(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\' || c == ']')
            out += '\\';
        out += c;
    }
    return out;
}

std::string site_header_field(std::string_view text, std::size_t size)
{
    std::string out(text.substr(0, size));
    for (char& c : out)
        if (c < 33 || c > 126)
            c = '_';
    return out.empty() ? "-" : out;
}

std::string site_timestamp(std::int64_t unix_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unix_ms % 1000));
    return text;
}

std::string site_mac_text(std::string_view text)
{
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (c != ':' && c != '\n')
            return "";
    if (digits.size() != 12)
        return "";
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out += (i ? ":" : "") + digits.substr(i, 2);
    return out;
}
