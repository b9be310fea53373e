#include "sitelog/rsyslog_files.h"

#include <unistd.h>

#include "common/process.h"

namespace {

bool executable(const std::string& path)
{
    return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_rsyslogd()
{
    // The units name it by its full path; a user's PATH may lack /usr/sbin.
    const std::string installed = "/usr/sbin/rsyslogd";
    return executable(installed) ? installed : find_on_path("rsyslogd");
}

std::string find_rsyslog_tls_module()
{
    // Debian keeps the modules under the multiarch folder.
    for (const std::string& dir : {std::string("/usr/lib/") + STATION_LIBRARY_ARCH + "/rsyslog", std::string("/usr/lib/rsyslog")}) {
        const std::string module = dir + "/lmnsd_gtls.so";
        if (::access(module.c_str(), R_OK) == 0)
            return module;
    }
    return {};
}
