#include "common/config.h"

#include <cstdio>
#include <mutex>

#include "common/c_holders.h"
#include "common/station_root.h"

namespace {

bool echo_reads = false;
bool report_load_failures = true;

// The parser reports its own errors on standard error; the one message that
// the programs give for a file that cannot be loaded is theirs.
int quiet_parser_errors(const char*, ...)
{
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
    static std::once_flag quiet;
    std::call_once(quiet, [] { iniparser_set_error_callback(quiet_parser_errors); });

    const std::string file = station_path(path);
    ini_ptr dict(iniparser_load(file.c_str()));
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
