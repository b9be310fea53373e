#include "sipbridge/config/tls_destinations.h"

#include <ctime>

#include "common/accounts.h"
#include "common/settings_line.h"
#include "common/station_root.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/sip_address.h"
#include "tlsrelay/relay_verdicts.h"

namespace {

// The port written after the host, if any ("host:5071", "[2001:db8::1]:5071").
std::optional<int> written_port(const std::string& host_port)
{
    const std::size_t colon = host_port.rfind(':');
    const std::size_t bracket = host_port.rfind(']');
    if (colon == std::string::npos || (host_port.front() == '[' && (bracket == std::string::npos || colon < bracket)))
        return std::nullopt;
    if (host_port.front() != '[' && host_port.find(':') != colon)
        return std::nullopt;  // a bare IPv6 address
    return port_number(host_port.substr(colon + 1));
}

bool tls_account(const settings_account& account)
{
    return lowered(account.transport) == "tls";
}

std::string first_hop_text(const settings_account& account)
{
    const std::string proxy = account_proxy(account);
    if (!proxy.empty())
        return proxy;
    return account.domain.empty() ? account.server : account.domain;
}

}  // namespace

std::string tls_first_hop(const std::string& proxy)
{
    if (written_port(proxy))
        return proxy;
    return proxy + ":" + std::to_string(sips_default_port);
}

tls_plan plan_tls_destinations(const std::vector<settings_account>& accounts)
{
    tls_plan plan;
    for (const settings_account& account : accounts) {
        if (!tls_account(account))
            continue;
        const std::string section = section_of(account);
        const std::string hop = first_hop_text(account);
        const std::optional<std::string> host = host_of(hop);
        if (!host)
            continue;  // the accounts line refuses it
        tls_destination wanted;
        wanted.host = *host;
        wanted.port = written_port(hop).value_or(sips_default_port);
        wanted.ipv6 = wanted.host.find(':') != std::string::npos;
        if (!account.tls_name.empty()) {
            if (!valid_certificate_name(account.tls_name) && !is_ip_address(account.tls_name)) {
                plan.refusals.push_back({section, "tls_name", account.tls_name,
                                         "not a DNS name (letters, digits, '-' and '.', a leading '*.' allowed) "
                                         "nor an address"});
                continue;
            }
            wanted.name = account.tls_name;
        } else if (is_ip_address(wanted.host)) {
            plan.refusals.push_back({section, "tls_name", "",
                                     "the account's TLS server " + hop +
                                         " is an address: give the name its certificate carries in tls_name, "
                                         "which is checked instead"});
            continue;
        } else {
            wanted.name = lowered(wanted.host);
        }
        bool merged = false;
        for (tls_destination& known : plan.destinations) {
            if (lowered(known.host) != lowered(wanted.host) || known.port != wanted.port)
                continue;
            merged = true;
            if (lowered(known.name) != lowered(wanted.name))
                plan.refusals.push_back({section, "tls_name", account.tls_name,
                                         "account_info_" + std::to_string(known.accounts.front()) +
                                             " reaches " + known.address() + " too and expects the name " +
                                             known.name + ": one server carries one name"});
            else
                known.accounts.push_back(account.n);
        }
        if (merged)
            continue;
        wanted.accounts.push_back(account.n);
        wanted.local_port = relay_port_base + static_cast<int>(plan.destinations.size());
        plan.destinations.push_back(std::move(wanted));
    }
    return plan;
}

namespace {

// Each enabled TLS account's address of record with its destination, as
// the settings give them now.
std::vector<std::pair<std::string, tls_destination>> tls_accounts()
{
    std::vector<std::pair<std::string, tls_destination>> out;
    const std::vector<settings_account> accounts = enabled_settings_accounts();
    const tls_plan plan = plan_tls_destinations(accounts);
    for (const settings_account& account : accounts)
        for (const tls_destination& destination : plan.destinations)
            for (const int n : destination.accounts)
                if (n == account.n)
                    out.emplace_back(account_address_of_record(
                                         {account.username, account.domain.empty() ? account.server : account.domain}),
                                     destination);
    return out;
}

}  // namespace

std::optional<tls_destination> tls_destination_of(const std::string& aor)
{
    for (const auto& [account, destination] : tls_accounts())
        if (account == aor)
            return destination;
    return std::nullopt;
}

std::vector<std::string> tls_accounts_reaching(const std::string& destination)
{
    std::vector<std::string> aors;
    for (const auto& [account, reached] : tls_accounts())
        if (reached.address() == destination)
            aors.push_back(account);
    return aors;
}

std::optional<std::string> tls_failure_reason(const std::string& aor)
{
    // The user agent gives up on a request half a minute after the relay
    // ended its connection; a verdict older than this is of another one.
    constexpr long long fresh_seconds = 120;
    const std::optional<tls_destination> destination = tls_destination_of(aor);
    if (!destination)
        return std::nullopt;
    const std::optional<relay_verdict> verdict =
        read_verdict(station_path(relay_run_dir), destination->address());
    const long long now = static_cast<long long>(std::time(nullptr));
    if (!verdict || now - verdict->time > fresh_seconds)
        return std::nullopt;
    return verdict_failure_reason(*verdict);
}
