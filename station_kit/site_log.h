// The site log on loopback, with real rsyslogd engines: a CA and server
// certificates made with openssl, a site's log server (rsyslogd with imtcp
// over TLS, octet-counted framing) that writes every message it receives
// as one line, and the station's own instance started from the
// configuration that `station-sitelog --write-config` wrote under a station
// root. Both run as the test's user, on free 127.0.0.1 ports, each wait has
// a deadline, and everything started is ended by pid.
//
//   kit_root root;
//   const site_ca ca = make_site_ca(root.file("/pki"), "Site CA");
//   const site_certificate cert = make_site_certificate(root.file("/pki"), ca, "logs", {"logs.example"});
//   site_log_server server(root.file("/site-server"));
//   ASSERT_TRUE(server.start(free_site_port(), cert, ca.cert));
//   root.write("/etc/ca.pem", read_text_file(ca.cert));
//   root.write_settings(site_settings_text("127.0.0.1:" + std::to_string(server.port()), "/etc/ca.pem",
//                                          "logs.example"));
//   site_log_station station(root);
//   ASSERT_EQ(station.write_config(), 0);
//   ASSERT_TRUE(station.start());
//   send_datagram(root, "<134>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 door - x");
//   server.wait_for([](const auto& lines) { return lines.size() == 1; }, 10s);
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "station_kit/programs.h"
#include "station_kit/root.h"

// A CA: its certificate and key files.
struct site_ca {
    std::string cert;
    std::string key;
};

// A certificate that a CA signed, and its key.
struct site_certificate {
    std::string cert;
    std::string key;
};

// Makes a CA named common_name in dir (files "<stem>-ca.pem" and
// "<stem>-ca.key", the stem taken from the name); throws when openssl fails.
site_ca make_site_ca(const std::string& dir, const std::string& common_name);

// A server certificate signed by the CA, for the DNS names and IP addresses
// (subjectAltName; the first DNS name, else the first address, is the
// subject's CN), in dir as "<stem>.pem" and "<stem>.key"; throws when
// openssl fails.
site_certificate make_site_certificate(const std::string& dir, const site_ca& ca, const std::string& stem,
                                       const std::vector<std::string>& dns_names,
                                       const std::vector<std::string>& ip_addresses = {});

// A free TCP port on 127.0.0.1 for a server (from a block of the kit's that
// nothing used a moment ago).
int free_site_port();

// The site's log server: rsyslogd with imtcp on 127.0.0.1, TLS only (mode
// 1), clients not authenticated (anon), octet-counted framing as RFC 5425
// has it. Each message it receives is written as rsyslog received it
// (%rawmsg%), one per line, to its file; a control character in a message
// shows as #NNN there, as rsyslog's receiver writes it.
class site_log_server {
public:
    // dir: its working folder (made), which holds its configuration and
    // the received lines.
    explicit site_log_server(std::string dir);
    ~site_log_server();
    site_log_server(const site_log_server&) = delete;
    site_log_server& operator=(const site_log_server&) = delete;

    // Starts it with the certificate and key it shows, and the CA file of
    // its configuration; true once it listens (within 10 s).
    bool start(int port, const site_certificate& certificate, const std::string& ca_file);
    // Ends it by pid: SIGTERM, SIGKILL after 5 s.
    void stop();
    // Stops and starts again with the same port and certificate.
    bool restart();
    bool running();
    int port() const { return port_; }
    // "127.0.0.1:PORT", a log_server value.
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Every message received so far, over all its runs, in order.
    std::vector<std::string> received() const;
    // Waits until the predicate holds for the messages received.
    bool wait_for(const std::function<bool(const std::vector<std::string>&)>& predicate,
                  std::chrono::milliseconds timeout) const;
    // How often the message was received.
    std::size_t count(const std::string& message) const;

    std::string report() const;

private:
    std::string dir_;
    int port_ = 0;
    site_certificate certificate_;
    std::string ca_file_;
    std::string earlier_output_;
    std::unique_ptr<kit_program> rsyslogd_;
};

// The station's instance under a root: station-sitelog of the build writes
// its configuration from the root's settings, and rsyslogd runs it as this
// process's user. The root gets the instance's folders: the socket's
// /run/station-sitelog (0750), the queue's /userdata/sitelog (0700) and the
// instance's own /var/lib/station-sitelog (0700).
class site_log_station {
public:
    explicit site_log_station(const kit_root& root);
    ~site_log_station();
    site_log_station(const site_log_station&) = delete;
    site_log_station& operator=(const site_log_station&) = delete;

    // Runs `station-sitelog OPTION` under the root (--write-config or
    // --update-config); its exit status (-1 when it did not end within
    // 10 s). Its outputs are in last_output() and last_errors().
    int write_config(const std::string& option = "--write-config");
    const std::string& last_output() const { return last_output_; }
    const std::string& last_errors() const { return last_errors_; }

    // Starts rsyslogd with the written configuration; true once it
    // receives on its socket (within 10 s).
    bool start();
    // SIGTERM (it saves its queue), SIGKILL after 5 s.
    void stop();
    // SIGKILL at once, as a crash.
    void kill();
    bool running();

    // The files under the root.
    std::string config_file() const;
    std::string ca_copy() const;
    std::string socket_path() const;
    std::string queue_dir() const;

    std::string report() const;

private:
    const kit_root& root_;
    std::string last_output_;
    std::string last_errors_;
    std::string earlier_output_;
    std::unique_ptr<kit_program> rsyslogd_;
};

// The [site] section of speaker.conf with the values as given (a key whose
// value is empty is left out).
std::string site_settings_text(const std::string& log_server, const std::string& log_ca,
                               const std::string& log_name = "", const std::string& name = "");

// Sends the text as one datagram to the station's socket under the root, as
// orvanel sends a message: 0 when the socket took it, else the errno.
int send_datagram(const kit_root& root, const std::string& text);

// The same from a child process that became the user with the group as its
// only group (root only): the errno, or nothing when the child could not
// become them.
std::optional<int> send_datagram_as(uid_t uid, gid_t gid, const kit_root& root, const std::string& text);

// Whether a child process that became the user (and its group) can open the
// file for reading: 0, or the errno; nothing when it could not become them.
std::optional<int> open_as(uid_t uid, gid_t gid, const std::string& path);

// The path of rsyslogd, or empty when it is not installed.
std::string site_rsyslogd();
