#include "common/station_root.h"

#include <cstdlib>

namespace {
std::string root_dir;
}

bool station_root_init()
{
    const char* value = std::getenv("STATION_ROOT");
    root_dir = value ? value : "";
    // A trailing slash would double the one that starts every device path.
    while (root_dir.size() > 1 && root_dir.back() == '/')
        root_dir.pop_back();
    return station_root_is_safe(root_dir);
}

const std::string& station_root()
{
    return root_dir;
}

std::string station_path(const std::string& device_path)
{
    return root_dir + device_path;
}

bool station_root_is_safe(const std::string& root)
{
    for (char c : root) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',';
        if (!plain)
            return false;
    }
    return true;
}
