#include "sipbridge/config/ua_config.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/sip_address.h"

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

// The keys that the settings decide; the template's lines of them go.
const std::vector<std::string> owned_keys = {"sip_listen", "net_interface", "net_prefer_ipv6", "sip_certificate",
                                             "sip_cafile"};

std::string first_word(const std::string& line)
{
    std::size_t at = 0;
    while (at < line.size() && blank(line[at]))
        ++at;
    std::size_t end = at;
    while (end < line.size() && !blank(line[end]))
        ++end;
    return line.substr(at, end - at);
}

// True when a line "KEY VALUE" of the template loads the module.
bool loads(const std::string& text, const std::string& key, const std::string& module)
{
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        const std::string line = text.substr(from, end - from);
        from = end + 1;
        if (first_word(line) != key)
            continue;
        const std::size_t at = line.find(key) + key.size();
        if (first_word(line.substr(at)) == module)
            return true;
    }
    return false;
}

bool loopback_listen(const std::string& value)
{
    return value.rfind("127.0.0.1:", 0) == 0 || value.rfind("[::1]:", 0) == 0;
}

// Two addresses of the same family and bytes (IPv6 has many spellings).
bool same_address(const std::string& a, const std::string& b)
{
    in6_addr x {};
    in6_addr y {};
    if (inet_pton(AF_INET6, a.c_str(), &x) == 1 && inet_pton(AF_INET6, b.c_str(), &y) == 1)
        return std::memcmp(&x, &y, sizeof x) == 0;
    return a == b;
}

std::string padded(const std::string& key)
{
    return key + std::string(key.size() < 17 ? 17 - key.size() : 1, ' ');
}

struct pem_check {
    const char* needs;
    const char* what;
};

// The file a [sip] key names, checked to hold what the user agent needs.
std::optional<std::string> read_pem(const std::string& key, const std::string& path, const pem_check& check,
                                    const file_reader& read, std::vector<setting_refusal>& refusals)
{
    std::string error;
    const std::optional<std::string> text = read(path, error);
    if (!text) {
        refusals.push_back({"sip", key, path, error});
        return std::nullopt;
    }
    if (text->find("-----BEGIN CERTIFICATE-----") == std::string::npos ||
        (check.needs && text->find(check.needs) == std::string::npos)) {
        refusals.push_back({"sip", key, path, std::string("holds no ") + check.what + " in PEM"});
        return std::nullopt;
    }
    return text;
}

}  // namespace

std::optional<std::string> ua_config_word(const std::string& text, const std::string& key)
{
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find_first_of("\r\n", from), text.size());
        std::size_t at = from;
        while (at < end && blank(text[at]))
            ++at;
        from = end + 1;
        if (text.compare(at, key.size(), key) != 0 || at + key.size() >= end || !blank(text[at + key.size()]))
            continue;
        at += key.size();
        while (at < end && blank(text[at]))
            ++at;
        std::size_t word_end = at;
        while (word_end < end && !blank(text[word_end]))
            ++word_end;
        if (word_end > at)
            return text.substr(at, word_end - at);
    }
    return std::nullopt;
}

std::optional<listen_address> parse_listen_address(const std::string& text)
{
    listen_address out;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        out.address = text.substr(1, close - 1);
        out.ipv6 = true;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return std::nullopt;
            port = text.substr(close + 2);
        }
        in6_addr bytes {};
        if (inet_pton(AF_INET6, out.address.c_str(), &bytes) != 1)
            return std::nullopt;
    } else {
        const std::size_t colon = text.find(':');
        out.address = text.substr(0, colon);
        if (colon != std::string::npos)
            port = text.substr(colon + 1);
        in_addr bytes {};
        if (inet_pton(AF_INET, out.address.c_str(), &bytes) != 1)
            return std::nullopt;
    }
    if (!port.empty() || text.back() == ':') {
        const std::optional<int> number = port_number(port);
        if (!number)
            return std::nullopt;
        out.port = *number;
    }
    return out;
}

board_addresses read_board_addresses()
{
    board_addresses board;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        board.error = std::strerror(errno);
        return board;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> holder(list, ::freeifaddrs);
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const int family = entry->ifa_addr->sa_family;
        if (family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        else if (family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text, sizeof text);
        else
            continue;
        board.all.push_back(text);
        if (family == AF_INET && !board.eth0 && std::string(entry->ifa_name) == "eth0")
            board.eth0 = text;
    }
    return board;
}

ua_config_plan plan_ua_config(const std::string& template_text, const sip_settings& sip,
                              const std::vector<settings_account>& accounts, const board_addresses& board,
                              const std::string& dir, const file_reader& read)
{
    ua_config_plan plan;

    // Where it listens: an address of this board, for baresip puts it in
    // Contact and SDP, where the far end sends its requests and media.
    std::optional<listen_address> listen;
    if (!board.error.empty()) {
        plan.refusals.push_back({"sip", "listen", sip.listen,
                                 "the board's addresses cannot be read (" + board.error + "), so no listen address "
                                 "can be checked"});
    } else if (sip.listen.empty()) {
        if (board.eth0)
            listen = listen_address {*board.eth0, 5060, false};
        else
            plan.refusals.push_back({"sip", "listen", "", "eth0 has no IPv4 address to listen on; name one"});
    } else if (!(listen = parse_listen_address(sip.listen))) {
        plan.refusals.push_back({"sip", "listen", sip.listen,
                                 "no ADDRESS, ADDRESS:PORT or [IPV6]:PORT (an IPv6 address in brackets)"});
    } else if (listen->address == "0.0.0.0" || listen->address == "::") {
        plan.refusals.push_back({"sip", "listen", sip.listen,
                                 "the user agent names its address in every call; give one of the board's addresses"});
        listen.reset();
    } else if (std::none_of(board.all.begin(), board.all.end(),
                            [&](const std::string& a) { return same_address(a, listen->address); })) {
        std::string known;
        for (const std::string& a : board.all)
            known += (known.empty() ? "" : ", ") + a;
        plan.refusals.push_back({"sip", "listen", sip.listen, "not an address of this board (it has " + known + ")"});
        listen.reset();
    } else if (listen->port == 65535) {
        plan.refusals.push_back({"sip", "listen", sip.listen, "TLS takes the port above it, and there is none"});
        listen.reset();
    }

    // TLS: the station's certificate and key, which baresip 1.0.0 needs as a
    // client too (a proxy opens a new connection to it for in-dialog
    // requests), and the authorities it trusts.
    if (!sip.certificate.empty())
        plan.certificate = read_pem("certificate", sip.certificate, {"PRIVATE KEY-----", "certificate and private key"},
                                    read, plan.refusals);
    if (!sip.cafile.empty())
        plan.cafile = read_pem("cafile", sip.cafile, {nullptr, "certificate"}, read, plan.refusals);
    for (const settings_account& account : accounts)
        if (accounts_need_tls({account}) && sip.certificate.empty())
            plan.refusals.push_back({"account_info_" + std::to_string(account.n), "transport", account.transport,
                                     "TLS needs the station's certificate and key in [sip] certificate: without "
                                     "them the far end's requests within a call never arrive"});
    // The relay verifies each TLS server against these authorities, and
    // talks to none without them.
    if (accounts_need_tls(accounts) && sip.cafile.empty())
        plan.refusals.push_back({"sip", "cafile", "",
                                 "TLS needs the authorities that sign the PBX's certificate: without them no server "
                                 "can be verified, and the station would talk to none"});

    // The control socket carries no authentication: never beyond loopback.
    const std::optional<std::string> control = ua_config_word(template_text, "ctrl_tcp_listen");
    if (control && !loopback_listen(*control))
        plan.problems.push_back("the template's ctrl_tcp_listen " + *control +
                                " is not on loopback (127.0.0.1:PORT or [::1]:PORT): the control socket has no "
                                "authentication and must not be reachable from the network");

    std::string config;
    for (std::size_t from = 0; from < template_text.size();) {
        const std::size_t end = std::min(template_text.find('\n', from), template_text.size());
        const std::string line = template_text.substr(from, end - from);
        from = end + 1;
        const std::string key = first_word(line);
        if (std::find(owned_keys.begin(), owned_keys.end(), key) == owned_keys.end())
            config += line + "\n";
    }
    config += "\n# Written by sipbridge from speaker.conf ([sip] and the accounts); edit the settings or the\n"
              "# template " + std::string(ua_config_template) + ", not this file.\n";
    if (listen) {
        const std::string shown = listen->ipv6 ? "[" + listen->address + "]" : listen->address;
        config += padded("sip_listen") + shown + ":" + std::to_string(listen->port) + "\n";
        config += padded("net_interface") + listen->address + "\n";
        if (listen->ipv6)
            config += padded("net_prefer_ipv6") + "yes\n";
    }
    if (plan.certificate)
        config += padded("sip_certificate") + dir + "/" + ua_certificate_name + "\n";
    if (plan.cafile)
        config += padded("sip_cafile") + dir + "/" + ua_cafile_name + "\n";
    if (accounts_need_srtp(accounts) && !loads(template_text, "module", "srtp.so"))
        config += padded("module") + "srtp.so\n";
    // What the bridge needs of the user agent, when the template lacks it.
    if (!loads(template_text, "module_tmp", "account.so"))
        config += padded("module_tmp") + "account.so\n";
    for (const char* module : {"menu.so", "ctrl_tcp.so"})
        if (!loads(template_text, "module_app", module))
            config += padded("module_app") + module + "\n";
    if (!control) {
        config += padded("ctrl_tcp_listen") + "127.0.0.1:4444\n";
        plan.notes.push_back("the template names no ctrl_tcp_listen: the control socket is 127.0.0.1:4444");
    }
    plan.config = std::move(config);
    return plan;
}
