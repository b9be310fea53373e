// A real registrar for a station under a root: Kamailio 5.6 as registrar and
// proxy on loopback (station/sip/kamailio.cfg.in), with digest
// authentication of its users, and a "far phone" registered at it (a second
// baresip that answers on its own and dials through its control socket).
// Ports come from a free block of loopback ports; everything started is
// ended by pid.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station_kit/programs.h"
#include "station_kit/root.h"

// A self-signed certificate for 127.0.0.1 and ::1 with its key, as the test
// peers take it (verification is off everywhere).
struct test_certificate {
    std::string pem;  // certificate and key in one file (baresip's sip_certificate)
    std::string ca;   // the certificate alone (a CA file)
    std::string key;  // the key alone
};

// Makes the files in dir with openssl; throws when openssl fails.
test_certificate make_test_certificate(const std::string& dir);

// A certificate authority of the test's own: its certificate (a CA file)
// and key, in dir.
struct test_authority {
    std::string certificate;
    std::string key;
};
test_authority make_test_authority(const std::string& dir, const std::string& name);

// A server's certificate that the authority signed for a DNS name (and
// 127.0.0.1 and ::1 as addresses), its files in dir with the stem; ca is
// the authority's certificate. Throws when openssl fails.
test_certificate make_signed_certificate(const std::string& dir, const std::string& stem,
                                         const test_authority& authority, const std::string& dns_name);

// True when a socket listens on (TCP) or is bound to (UDP) the local port,
// as /proc/net shows it (no connection is made).
bool tcp_listening(int port);
bool udp_bound(int port);

class pbx {
public:
    // host: "127.0.0.1", or "[::1]" for IPv6 loopback.
    explicit pbx(const kit_root& root, const std::string& host = "127.0.0.1");
    ~pbx();
    pbx(const pbx&) = delete;
    pbx& operator=(const pbx&) = delete;

    // A user known by its authorization name (the user name unless the
    // account names another one), before start().
    void add_user(const std::string& auth_name, const std::string& password);
    // TLS on tls_port() with the certificate, before start().
    void use_tls(const test_certificate& certificate);
    // Without Record-Route, before start(): requests within a call go
    // straight to the far end's Contact, not through the registrar.
    void skip_record_route() { record_route_ = false; }

    // Writes the configuration and starts Kamailio in the foreground; true
    // once its ports are bound.
    bool start();
    // Ends Kamailio by pid (SIGTERM, then SIGKILL after 5 s) and its
    // children with it.
    void stop();
    // Stops and starts again on the same ports: the location table is lost.
    bool restart();
    bool running();

    const std::string& host() const { return host_; }
    // UDP and TCP.
    int port() const { return port_; }
    int tls_port() const { return port_ + 1; }
    // "127.0.0.1:PORT", "[::1]:PORT": the domain and server of an account.
    std::string address() const { return host_ + ":" + std::to_string(port_); }
    std::string tls_address() const { return host_ + ":" + std::to_string(tls_port()); }

    // The first of the ports that the kit holds for the far phone (SIP,
    // TLS, control and media: this one to the 13th above it), in the block
    // of the registrar's own ports, so that a restart does not leave the
    // whole block free for another test to take.
    int far_phone_ports() const { return port_ + 8; }

    // What Kamailio wrote, all its runs; the log lines of the configuration
    // start with "PBX ".
    std::string output() const;
    // The texts of the lines of the configuration ("PBX REGISTER udp ...")
    // that contain the part, in order.
    std::vector<std::string> log_lines(const std::string& part = "") const;
    std::string report() const;

private:
    std::string config_text() const;
    const kit_root& root_;
    std::string host_;
    int port_ = 0;
    std::string dir_;
    std::vector<std::pair<std::string, std::string>> users_;
    std::optional<test_certificate> certificate_;
    bool record_route_ = true;
    std::string earlier_output_;
    std::unique_ptr<kit_program> kamailio_;
};

struct far_phone_options {
    std::string user = "3000";
    std::string password = "far-secret";
    // "", "udp", "tcp" or "tls" (the registrar's TLS port).
    std::string transport;
    // "", "srtp" or "srtp-mand" (baresip's srtp module is loaded then).
    std::string mediaenc;
    int regint = 60;
    // Needed with TLS: baresip accepts the registrar's connections for
    // requests to it only with a certificate of its own.
    std::optional<test_certificate> certificate;
};

class far_phone {
public:
    far_phone(const kit_root& root, const pbx& registrar, far_phone_options options = {});
    ~far_phone();
    far_phone(const far_phone&) = delete;
    far_phone& operator=(const far_phone&) = delete;

    // Writes its folder and starts baresip; true once it has registered.
    bool start(std::chrono::milliseconds timeout = 5s);
    // True once baresip has said that its registration succeeded.
    bool registered() const;
    // True once the registrar has saved its REGISTER (a refresh too) this
    // many times in all, over its restarts.
    bool wait_registered(std::size_t times, std::chrono::milliseconds timeout);
    std::size_t registrations() const;

    // A command through the control socket (a netstring frame); the reply's
    // JSON, or nothing when none came within the time-out.
    std::optional<std::string> command(const std::string& command, const std::string& params = "",
                                       std::chrono::milliseconds timeout = 2s);
    // Dials a number at the registrar (the account's domain); true when
    // baresip took the command.
    bool dial(const std::string& number);
    // Ends its newest call (also one that still rings).
    bool hangup();

    std::string aor() const;
    int sip_port() const { return sip_port_; }
    const std::string& dir() const { return dir_; }
    std::string output() const;
    std::string report() const;

private:
    const kit_root& root_;
    const pbx& registrar_;
    far_phone_options options_;
    std::string dir_;
    int sip_port_ = 0;
    int control_port_ = 0;
    int rtp_first_ = 0;
    int token_ = 0;
    std::unique_ptr<kit_program> baresip_;
};
