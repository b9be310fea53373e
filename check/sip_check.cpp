// The SIP part of the installer's check. The accounts are judged by the code
// that writes the user agent's accounts file, so the check and the file
// cannot disagree; the registration state comes from the operation log,
// where orvanel writes every registration and failure.
#include "check/sip_check.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check/tls_check.h"
#include "common/c_holders.h"
#include "common/station_root.h"
#include "orvanel/records/operation_log.h"
#include "sipbridge/config/accounts_file.h"

namespace {

constexpr const char* area = "sip";

// The tail of the operation log that is searched for registration entries.
constexpr std::size_t oplog_tail = 256 * 1024;

std::string or_default(const std::string& value, const char* fallback)
{
    return value.empty() ? fallback : value;
}

std::string account_item(const settings_account& a)
{
    return "account_info_" + std::to_string(a.n);
}

std::string account_host(const settings_account& a)
{
    return a.domain.empty() ? a.server : a.domain;
}

std::string account_summary(const settings_account& a)
{
    return "sip:" + a.username + "@" + account_host(a) + ", transport " + or_default(a.transport, "udp") +
           ", auth user " + or_default(a.auth_user, a.username.c_str()) + ", server " +
           or_default(a.server, account_host(a).c_str()) + ", registration every " + or_default(a.regint, "60") +
           " s, media encryption " + or_default(a.mediaenc, "none") +
           (a.password.empty() ? ", no password" : ", password set");
}

// The last oplog_tail bytes of the operation log, from the first whole line
// in them; empty when it cannot be read.
std::string oplog_text()
{
    const unique_fd fd(open(station_path(operation_log_file).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const off_t from = st.st_size > static_cast<off_t>(oplog_tail) ? st.st_size - static_cast<off_t>(oplog_tail) : 0;
    std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
    const ssize_t got = pread(fd.get(), text.data(), text.size(), from);
    if (got < 0)
        return {};
    text.resize(static_cast<std::size_t>(got));
    if (from > 0)
        text.erase(0, std::min(text.size(), text.find('\n') + 1));
    return text;
}

finding registration_finding(const settings_account& a, const std::string& log)
{
    const std::string aor = "sip:" + a.username + "@" + account_host(a);
    const std::string item = account_item(a) + " registration";
    const std::optional<registration_entry> last = last_registration(log, aor);
    if (!last)
        return {area, item, verdict::warning,
                aor + ": no registration in system.csv yet: the user agent has not registered it since the log "
                      "began; check that sipbridge and baresip run"};
    if (last->registered)
        return {area, item, verdict::ok,
                aor + " registered at " + last->time +
                    (last->failed_time.empty()
                         ? std::string()
                         : "; last failure at " + last->failed_time + ": " +
                               or_default(last->failed_reason, "no reason given"))};
    return {area, item, verdict::error,
            aor + ": the last registration failed at " + last->time + ": " +
                or_default(last->reason, "no reason given") +
                ": calls on this account fail; check the user name, password and server"};
}

}  // namespace

std::optional<registration_entry> last_registration(const std::string& oplog_text, const std::string& aor)
{
    const std::string needle = "<" + aor + ">";
    std::optional<registration_entry> last;
    std::size_t begin = 0;
    while (begin < oplog_text.size()) {
        std::size_t end = oplog_text.find('\n', begin);
        if (end == std::string::npos)
            end = oplog_text.size();
        const std::string line = oplog_text.substr(begin, end - begin);
        begin = end + 1;
        const std::size_t category = line.find(",SIP STATE,");
        const std::size_t at = line.find(needle);
        if (category == std::string::npos || at == std::string::npos)
            continue;
        registration_entry entry;
        entry.time = line.substr(0, category);
        if (line.find(",SIP REGISTERED,", category) == category + 10) {
            entry.registered = true;
        } else if (line.find("REGISTER FAILED " + needle, category) != std::string::npos) {
            const std::size_t after = at + needle.size();
            if (after < line.size() && line[after] == ',')
                entry.reason = line.substr(after + 1);
        } else {
            continue;
        }
        if (entry.registered && last) {
            entry.failed_time = last->registered ? last->failed_time : last->time;
            entry.failed_reason = last->registered ? last->failed_reason : last->reason;
        }
        last = entry;
    }
    return last;
}

finding check_listen_address(const std::string& listen, const board_addresses& board)
{
    if (!board.error.empty())
        return {area, "listen", verdict::warning,
                "the board's addresses cannot be read here (" + board.error + "): [sip] listen is not checked"};
    if (listen.empty()) {
        if (board.eth0)
            return {area, "listen", verdict::ok, "eth0's address " + *board.eth0 + ", port 5060"};
        return {area, "listen", verdict::error,
                "[sip] listen is empty and eth0 has no IPv4 address: the user agent has nowhere to listen; "
                "connect eth0 or set [sip] listen"};
    }
    const std::optional<listen_address> parsed = parse_listen_address(listen);
    if (!parsed)
        return {area, "listen", verdict::error,
                "[sip] listen = " + listen + " is no address: the user agent does not start; write ADDRESS[:PORT]"};
    const std::string& address = parsed->address;
    const bool any = address == "0.0.0.0" || address == "::";
    if (!any && std::find(board.all.begin(), board.all.end(), address) == board.all.end())
        return {area, "listen", verdict::error,
                "[sip] listen = " + listen + ": " + address +
                    " is none of the board's addresses: the user agent cannot listen there; use one of the "
                    "board's addresses"};
    return {area, "listen", verdict::ok, address + ", port " + std::to_string(parsed->port)};
}

findings check_sip()
{
    findings out;
    const std::vector<settings_account> accounts = enabled_settings_accounts();
    if (accounts.empty())
        out.push_back({area, "accounts", verdict::warning,
                       "no account is enabled: the keys can only call over P2P; enable an account_info section"});
    const std::string log = oplog_text();
    for (const settings_account& a : accounts) {
        const accounts_line line = accounts_file_line(a);
        if (line.line.empty() || !line.refusals.empty()) {
            std::string why;
            for (const setting_refusal& r : line.refusals)
                why += (why.empty() ? "" : "; ") + refusal_text(r);
            out.push_back({area, account_item(a), verdict::error,
                           "the user agent's configuration is not written while this stands (it keeps the one it "
                           "had): " + or_default(why, "no line can carry it") + "; correct the setting"});
            continue;
        }
        std::string text = account_summary(a);
        for (const std::string& note : line.notes)
            text += "; " + note;
        out.push_back({area, account_item(a), verdict::ok, text});
        out.push_back(registration_finding(a, log));
    }
    for (finding& relay : check_tls_relay(accounts))
        out.push_back(std::move(relay));
    out.push_back(check_listen_address(read_sip_settings().listen, read_board_addresses()));
    return out;
}
