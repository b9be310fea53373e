#include "tlsrelay/relay_plan.h"

#include <arpa/inet.h>

std::string tls_destination::address() const
{
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string tls_destination::service() const
{
    return "pbx" + std::to_string(local_port - relay_port_base + 1);
}

std::string relay_socket_path(const std::string& run_dir, const tls_destination& destination)
{
    return run_dir + "/sockets/" + destination.service() + ".sock";
}

bool is_ip_address(const std::string& text)
{
    unsigned char bytes[16];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool valid_certificate_name(const std::string& text)
{
    if (text.empty() || text.size() > 253)
        return false;
    std::size_t from = text.rfind("*.", 0) == 0 ? 2 : 0;
    if (from == text.size())
        return false;
    // Labels of letters, digits and '-', neither empty nor starting or
    // ending with '-'.
    for (;;) {
        const std::size_t dot = text.find('.', from);
        const std::string label = text.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
                return false;
        if (dot == std::string::npos)
            return true;
        from = dot + 1;
    }
}

std::string relay_config_text(const std::vector<tls_destination>& destinations, const std::string& dir,
                              const std::string& run_dir, bool client_certificate)
{
    // stunnel splits HOST:PORT at the last colon, so an IPv6 address stands
    // without brackets.
    std::string text =
        "; Written by sipbridge from speaker.conf; edit the settings, not this file.\n"
        "; The user agent's TLS connections to its PBXs, turned here by the packet\n"
        "; filter, go on over TLS that verifies each server.\n"
        "foreground = yes\n"
        "pid =\n"
        "syslog = no\n"
        "debug = notice\n";
    for (const tls_destination& d : destinations) {
        const std::string service = d.service();
        const std::string socket = relay_socket_path(run_dir, d);
        const std::string port = std::to_string(d.local_port);
        text += "\n; " + d.address() + ", its certificate for " + d.name + "\n";
        text += "[" + service + "-in]\n";
        text += "accept = 127.0.0.1:" + port + "\n";
        text += "accept = ::1:" + port + "\n";
        text += "cert = " + dir + "/" + relay_own_certificate_name + "\n";
        text += "connect = " + socket + "\n";
        text += "[" + service + "-out]\n";
        text += "client = yes\n";
        text += "accept = " + socket + "\n";
        text += "connect = " + d.host + ":" + std::to_string(d.port) + "\n";
        // Resolved at each connection, so that a name follows its address.
        if (!d.ipv6 && d.host.find_first_not_of("0123456789.") != std::string::npos)
            text += "delay = yes\n";
        text += "CAfile = " + dir + "/" + relay_ca_name + "\n";
        // stunnel ignores checkHost (and checkIP) without verifyChain or
        // verifyPeer: the two always stand together.
        text += "verifyChain = yes\n";
        if (is_ip_address(d.name)) {
            text += "checkIP = " + d.name + "\n";
        } else {
            text += "checkHost = " + d.name + "\n";
            text += "sni = " + d.name + "\n";
        }
        text += "sslVersionMin = TLSv1.2\n";
        if (client_certificate)
            text += "cert = " + dir + "/" + relay_client_certificate_name + "\n";
    }
    return text;
}
