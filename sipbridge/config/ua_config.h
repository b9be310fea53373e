// The user agent's configuration file, written from a template and the
// station's settings. The template (the device's /etc/station/baresip.conf)
// holds what belongs to the board: audio, codecs, the media ports, the
// control socket. The settings decide where the user agent listens, its TLS
// files and the modules the accounts need; those lines of the template are
// replaced, since baresip takes the first line of a key.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sipbridge/config/ua_settings.h"

// The template's device path.
inline constexpr const char* ua_config_template = "/etc/station/baresip.conf";

// The names of the TLS files in the user agent's folder: copies of the files
// that [sip] names, readable by the user agent's user alone.
inline constexpr const char* ua_certificate_name = "sip-certificate.pem";
inline constexpr const char* ua_cafile_name = "sip-cafile.pem";

// The value of a key as baresip's configuration reader finds it: the first
// line that holds, after blanks, the key and a blank; the value is the word
// after it (up to a blank or the line's end).
std::optional<std::string> ua_config_word(const std::string& text, const std::string& key);

// An address to listen on: "ADDRESS", "ADDRESS:PORT", "[IPV6]" or
// "[IPV6]:PORT"; the port is 5060 when none is given.
struct listen_address {
    std::string address;  // without brackets
    int port = 5060;
    bool ipv6 = false;
};
std::optional<listen_address> parse_listen_address(const std::string& text);

// The board's own addresses, and eth0's (the default listen address); why
// they could not be read, when they could not (a sandbox without netlink,
// say): none is then known, which is not the same as none there.
struct board_addresses {
    std::vector<std::string> all;
    std::optional<std::string> eth0;
    std::string error;
};
board_addresses read_board_addresses();

// Reads a device path's file (under the station root), or says why not.
using file_reader = std::function<std::optional<std::string>(const std::string& device_path, std::string& error)>;

struct ua_config_plan {
    std::string config;
    // The texts of the TLS copies; nothing: the settings name none, and an
    // old copy is removed.
    std::optional<std::string> certificate;
    std::optional<std::string> cafile;
    std::vector<setting_refusal> refusals;
    std::vector<std::string> problems;  // of the template
    std::vector<std::string> notes;
};

// The configuration for the user agent's folder dir.
ua_config_plan plan_ua_config(const std::string& template_text, const sip_settings& sip,
                              const std::vector<settings_account>& accounts, const board_addresses& board,
                              const std::string& dir, const file_reader& read);
