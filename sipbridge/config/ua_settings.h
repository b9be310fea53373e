// The settings that the user agent's files are written from: the accounts
// (sections account_info_1..3) and the section [sip], read afresh from
// speaker.conf like every setting, and the refusals that name a setting the
// user agent cannot use.
#pragma once

#include <string>
#include <vector>

// An account as speaker.conf describes it (section account_info_<n>).
struct settings_account {
    std::string username;
    std::string domain;
    std::string server;    // the registrar and proxy, when it is not the domain
    std::string password;  // empty: no authentication
    std::string transport;  // udp, tcp or tls; empty: udp
    std::string auth_user;  // the authorization name; empty: the user name
    std::string regint;     // seconds between registrations, as written; empty: 60
    std::string mediaenc;   // srtp or srtp-mand; empty: none
    std::string outbound;   // the proxy every request goes through, when it is not the server
    std::string tls_name;   // the name the server's certificate must carry; empty: the first hop's host
    int n = 0;              // the section's number
};

// The section [sip]: where the user agent listens and its TLS files.
struct sip_settings {
    std::string listen;       // ADDRESS[:PORT], an IPv6 address in brackets; empty: eth0's address, 5060
    std::string certificate;  // a PEM file with the station's certificate and key (a device path)
    std::string cafile;       // a PEM file with the authorities it trusts (a device path)
};

// "account_info_<n>".
std::string section_of(const settings_account& account);

// A setting that the user agent cannot use: where it stands, its value
// (never shown for a secret) and why.
struct setting_refusal {
    std::string section;
    std::string key;
    std::string value;
    std::string why;
    bool secret = false;
};

// "[account_info_1] transport = sctp: not one of udp, tcp, tls".
std::string refusal_text(const setting_refusal& refusal);

// The enabled accounts 1 to 3 of speaker.conf, in their order.
std::vector<settings_account> enabled_settings_accounts();

sip_settings read_sip_settings();

// The keys of the section that the settings reader cut at a ';' or '#'
// inside their value (seen on the file's raw lines): the programs would use
// what stands before it, which is not what the installer wrote.
std::vector<setting_refusal> cut_settings(const std::string& section, const std::vector<std::string>& keys);

// The keys that the accounts and [sip] are read from.
extern const std::vector<std::string> account_keys;
extern const std::vector<std::string> sip_keys;
