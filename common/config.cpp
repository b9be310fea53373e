#include "common/config.h"

#include <fcntl.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/c_holders.h"
#include "common/station_root.h"

namespace {

bool echo_reads = false;
bool report_load_failures = true;

// What the parser said of the last file it refused on this thread. It would
// say it on standard error; the one message that the programs give for a
// file that cannot be loaded is theirs.
thread_local std::string parser_complaint;

__attribute__((format(printf, 1, 2))) int keep_parser_errors(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    parser_complaint += text;
    return 0;
}

ini_ptr load_settings_file(const std::string& file)
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { iniparser_set_error_callback(keep_parser_errors); });
    parser_complaint.clear();
    return ini_ptr(iniparser_load(file.c_str()));
}

// The line number in the parser's complaint, "... in FILE (N)", which may
// go on with the refused line's text: the first " (N)", as no device path
// under a station root holds a blank or a parenthesis.
int complaint_line(const std::string& complaint)
{
    for (std::size_t open = complaint.find(" ("); open != std::string::npos; open = complaint.find(" (", open + 1)) {
        const std::size_t close = complaint.find(')', open);
        const std::string digits = complaint.substr(open + 2, close == std::string::npos ? 0 : close - open - 2);
        if (!digits.empty() && digits.size() < 9 && digits.find_first_not_of("0123456789") == std::string::npos)
            return std::stoi(digits);
    }
    return 0;
}

}  // namespace

void set_config_read_echo(bool on)
{
    echo_reads = on;
}

void set_config_load_report(bool on)
{
    report_load_failures = on;
}

int read_config_value(const char* path, const char* key, std::string& dst, std::size_t size)
{
    const std::string file = station_path(path);
    ini_ptr dict = load_settings_file(file);
    if (!dict) {
        if (report_load_failures)
            std::fprintf(stderr, "cannot parse file: %s\n", file.c_str());
        return 0;
    }
    const char* value = iniparser_getstring(dict.get(), key, "");
    std::string text = value ? value : "";
    if (size == 0)
        text.clear();
    else if (text.size() > size - 1)
        text.resize(size - 1);
    if (echo_reads)
        std::printf("keystr: \"%s\" ; value: %s.\n", key, text.c_str());
    dst = std::move(text);
    return 1;
}

std::string config_value(const char* path, const char* key, std::size_t size)
{
    std::string value;
    read_config_value(path, key, value, size);
    return value;
}

std::optional<int> refused_settings_line(const char* path)
{
    const std::string file = station_path(path);
    if (!unique_fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) || load_settings_file(file))
        return std::nullopt;
    return complaint_line(parser_complaint);
}

namespace {

bool read_setting_at(setting s, std::string& dst, int n, int k, std::size_t size)
{
    const std::string name = setting_name(s, n, k);
    if (name.empty())
        return false;
    return read_config_value(settings_path(setting_entry(s).file), name.c_str(), dst, size) == 1;
}

}  // namespace

bool read_setting(setting s, std::string& dst, int n, int k)
{
    return read_setting_at(s, dst, n, k, setting_entry(s).size);
}

std::string setting_value(setting s, int n, int k)
{
    std::string value;
    read_setting(s, value, n, k);
    return value;
}

std::string judged_setting_value(setting s)
{
    std::string value;
    read_setting_at(s, value, 0, 0, judged_read_size);
    return value;
}
