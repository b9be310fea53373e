// The site log part of the installer's check. The settings are judged by
// station-sitelog's own plan; the instance is looked for at its socket
// (its folder and configuration are its user's alone, and so closed to the
// station's user that the check runs as); the server is asked for its
// certificate by openssl, which is ended after 5 s.
#include "check/site_check.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/c_holders.h"
#include "common/config.h"
#include "common/station_root.h"
#include "sitelog/rsyslog_files.h"
#include "sitelog/site_config.h"

namespace {

constexpr const char* area = "site";

constexpr std::chrono::seconds tls_timeout{5};

finding name_finding(const std::string& name)
{
    if (!name.empty())
        return {area, "name", verdict::ok, "the station is \"" + name + "\" in the site's log"};
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return {area, "name", verdict::ok,
            std::string("[site] name is empty: the station is its host name \"") + host + "\" in the site's log"};
}

// The instance's socket: there, and a receiver bound to it. connect() on a
// datagram socket sends nothing, so no message reaches the site.
finding socket_finding()
{
    const std::string path = station_path(sitelog_socket);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        if (errno == EACCES)
            return {area, "instance", verdict::warning,
                    path + " cannot be looked at by this user (only the station's group may): run the check as the "
                           "station's user"};
        return {area, "instance", verdict::error,
                "no socket at " + path + ": the site log's instance does not run, and orvanel forwards nothing; "
                "systemctl status station-sitelog says why"};
    }
    sockaddr_un to {};
    to.sun_family = AF_UNIX;
    if (path.size() >= sizeof to.sun_path)
        return {area, "instance", verdict::error, path + " is too long a path for a socket"};
    std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
    const unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        return {area, "instance", verdict::ok, "the site log's instance listens on " + path};
    if (errno == EACCES)
        return {area, "instance", verdict::warning,
                path + " may not be reached by this user (only the station's group may): run the check as the "
                       "station's user"};
    return {area, "instance", verdict::error,
            path + " is there, but no instance listens on it (" + std::strerror(errno) +
                "): orvanel forwards nothing; systemctl restart station-sitelog"};
}

}  // namespace

finding site_tls_finding(const site_forwarding& server, const tls_probe_result& probe)
{
    using outcome = tls_probe_result::outcome;
    const std::string who = server.address();
    const std::string nothing = ": the instance sends it nothing, and the entries wait in its queue on /userdata";
    switch (probe.result) {
    case outcome::trusted:
        return {area, "server", verdict::ok,
                who + " answers over TLS with a certificate for " + server.peer_name + " that log_ca trusts"};
    case outcome::untrusted:
        return {area, "server", verdict::warning,
                who + "'s certificate is not trusted by log_ca (" + probe.detail + ")" + nothing +
                    "; give log_ca the CA that signed the server's certificate"};
    case outcome::name_mismatch:
        return {area, "server", verdict::warning,
                who + ": name mismatch: the server's certificate does not carry the name " + server.peer_name +
                    nothing + "; set log_name to the name it carries"};
    case outcome::refused:
        return {area, "server", verdict::warning, who + "'s certificate is refused: " + probe.detail + nothing};
    case outcome::unreachable:
        return {area, "server", verdict::warning,
                who + " is unreachable: " + probe.detail + nothing + "; check the address and the network"};
    case outcome::no_openssl:
        break;
    }
    return {area, "server", verdict::warning, probe.detail + ": the server's certificate is not checked; install openssl"};
}

findings check_site()
{
    findings out;
    const site_plan plan = current_site_plan();
    out.push_back(name_finding(setting_value(setting::site_name)));
    for (const setting_refusal& refusal : plan.refusals) {
        if (refusal.key == "log_ca" && plan.ca_unreadable_here)
            out.push_back({area, "log_ca", verdict::warning,
                           refusal_text(refusal) + " as this user; station-sitelog reads it as root: run the check as "
                                                   "root to check it"});
        else
            out.push_back({area, refusal.key, verdict::error,
                           refusal_text(refusal) +
                               ": station-sitelog refuses [site], and the instance keeps the configuration it had; "
                               "correct the setting"});
    }
    if (!plan.refusals.empty())
        return out;
    if (!plan.forwarding) {
        out.push_back({area, "log_server", verdict::ok, "[site] log_server is empty: nothing is forwarded"});
        return out;
    }
    const site_forwarding& server = *plan.forwarding;
    out.push_back({area, "log_server", verdict::ok,
                   server.address() + " over TLS, its certificate for " + server.peer_name + " from log_ca"});

    const std::string rsyslogd = find_rsyslogd();
    if (rsyslogd.empty())
        out.push_back({area, "rsyslogd", verdict::error,
                       "rsyslogd is not installed: nothing is forwarded to the log server; install rsyslog"});
    else
        out.push_back({area, "rsyslogd", verdict::ok, rsyslogd});
    const std::string driver = find_rsyslog_tls_module();
    if (driver.empty())
        out.push_back({area, "tls driver", verdict::error,
                       "rsyslog's GnuTLS driver (lmnsd_gtls.so) is not installed: the instance forwards nothing, "
                       "and never without TLS; install rsyslog-gnutls"});
    else
        out.push_back({area, "tls driver", verdict::ok, driver});

    out.push_back(socket_finding());
    const std::string ca = station_path(setting_value(setting::site_log_ca));
    out.push_back(site_tls_finding(server, probe_site_server(server, ca, tls_timeout)));
    return out;
}
