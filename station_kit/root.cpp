#include "station_kit/root.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "common/station_root.h"
#include "station_kit/programs.h"

namespace {

void make_dirs(const std::string& path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        mkdir(partial.c_str(), 0775);
    }
}

void remove_tree(const std::string& path)
{
    if (path.size() > 5 && path.rfind("/tmp/", 0) == 0) {
        std::error_code error;
        std::filesystem::remove_all(path, error);
        if (error)
            std::fprintf(stderr, "could not remove %s: %s\n", path.c_str(), error.message().c_str());
    }
}

// The programs' code that a test or a fuzz target calls in its own process
// must trust the kit's servers as the programs started under the root do.
// Set once, before the first root's server, so no thread reads it meanwhile.
void trust_own_redis_servers()
{
    static std::once_flag once;
    std::call_once(once, [] { setenv("STATION_REDIS_USER", own_redis_user().c_str(), 1); });
}

}  // namespace

std::string read_text_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tool_call::joined_args() const
{
    std::string out;
    for (const auto& a : args) {
        if (!out.empty())
            out += ' ';
        out += a;
    }
    return out;
}

kit_root::kit_root()
{
    trust_own_redis_servers();
    char templ[] = "/tmp/station.XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error("cannot make a station root");
    dir_ = templ;
    lay_out();
    // Tests start from empty settings and write what they need.
    write_settings("");
    write_volume_settings("[volume]\nkey_beep = no\n");
}

kit_root::kit_root(const std::string& dir) : dir_(dir), temporary_(false)
{
    trust_own_redis_servers();
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(dir_, error) && !fs::is_empty(dir_, error) && !fs::exists(dir_ + "/.station-root", error))
        throw std::runtime_error(dir_ + " is not an earlier station root; not touching it");
    fs::remove_all(dir_, error);
    make_dirs(dir_);
    lay_out();
    write("/.station-root", "made from station/template\n");
}

// The station template holds the device's files: settings, GPIO value
// files, sound folders and the stand-in tools.
void kit_root::lay_out()
{
    std::filesystem::copy(STATION_TEMPLATE_DIR, dir_,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    for (const char* d : {"/tmp", "/userdata"})
        make_dirs(dir_ + d);
}

kit_root::~kit_root()
{
    if (temporary_)
        remove_tree(dir_);
}

void kit_root::write(const std::string& device_path, const std::string& content) const
{
    const std::string full = file(device_path);
    make_dirs(full.substr(0, full.rfind('/')));
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string kit_root::read(const std::string& device_path) const
{
    return read_text_file(file(device_path));
}

std::string kit_root::message_log() const
{
    std::vector<std::string> rotated;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(file("/userdata/log"), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("orvanel.log.", 0) == 0)
            rotated.push_back(entry.path().string());
    }
    std::sort(rotated.begin(), rotated.end());
    std::string text;
    for (const std::string& path : rotated)
        text += read_text_file(path);
    return text + read("/userdata/log/orvanel.log");
}

bool kit_root::exists(const std::string& device_path) const
{
    struct stat info {};
    return stat(file(device_path).c_str(), &info) == 0;
}

void kit_root::set_gpio(int line, int level) const
{
    write("/sys/class/gpio/gpio" + std::to_string(line) + "/value", level ? "1\n" : "0\n");
}

int kit_root::gpio(int line) const
{
    const std::string text = read("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
    return !text.empty() && text[0] == '1' ? 1 : 0;
}

std::vector<tool_call> kit_root::tool_calls() const
{
    std::vector<tool_call> calls;
    std::stringstream lines(read_text_file(dir_ + "/tools.log"));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        if (fields.size() < 2)
            continue;
        calls.push_back({fields[0], fields[1], {fields.begin() + 2, fields.end()}});
    }
    return calls;
}

// The test's own connections wait as long as the programs' blocking readers.
root_in_process::root_in_process(const kit_root& root)
{
    setenv("STATION_ROOT", root.path().c_str(), 1);
    station_root_init();
}

root_in_process::~root_in_process()
{
    unsetenv("STATION_ROOT");
    station_root_init();
}

