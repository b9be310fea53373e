// The configuration of the station's own rsyslogd instance, which owns the
// site log's socket and forwards each message that orvanel sends there to
// the site's log server: over TLS only (RFC 5425 framing), the server's
// certificate checked against the site's CA and name, each message kept on
// /userdata until the server has taken it.
#pragma once

#include <string>

#include "common/station_protocol.h"
#include "sitelog/site_settings.h"

// The device paths of the instance: the socket orvanel sends to (its folder
// is open to the station's group alone), the instance's own folder with its
// configuration and its copy of the CA (its user's alone), and the folder of
// its queue on /userdata.
inline constexpr const char* sitelog_socket = site_log_socket;
const std::string& sitelog_dir();
inline constexpr const char* sitelog_config_name = "rsyslog.conf";
inline constexpr const char* sitelog_ca_name = "site-ca.pem";
std::string sitelog_config_path();
const std::string& sitelog_queue_dir();

// What the queue may take of /userdata: at a few hundred bytes a message,
// and rsyslog's own record of each, some 20,000 messages, more than a day
// of a busy station's entries and calls.
inline constexpr const char* sitelog_queue_bound = "32m";

// The files as rsyslogd opens them (under the station root, if any).
struct site_instance_paths {
    std::string socket;
    std::string queue_dir;
    std::string ca_file;
};
site_instance_paths rooted_instance_paths();

// The whole configuration for the forwarding; a pure function of its
// arguments. Every value in it was judged by plan_site(); quotes and
// backslashes are escaped all the same.
std::string site_rsyslog_config(const site_forwarding& forwarding, const site_instance_paths& paths);
