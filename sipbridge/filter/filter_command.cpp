#include "sipbridge/filter/filter_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "common/accounts.h"
#include "common/c_holders.h"
#include "common/config.h"
#include "common/file_text.h"
#include "common/process.h"
#include "common/station_root.h"
#include "common/system_user.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/tls_destinations.h"
#include "sipbridge/filter/sip_filter.h"
#include "sipbridge/trust/station_users.h"

extern char** environ;

namespace {

constexpr const char* nft_program = "nft";
constexpr std::size_t config_limit = 1 << 20;

// The settings that name trusted hosts: domain, server and outbound proxy
// of each enabled account and, with the P2P line on, each allowed host. Nothing when
// speaker.conf cannot be read.
std::optional<std::vector<trusted_setting>> trusted_settings()
{
    std::string p2p;
    if (!read_setting(setting::p2p_enable, p2p))
        return std::nullopt;
    std::vector<trusted_setting> settings;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        const std::string section = "account_info_" + std::to_string(n);
        for (const setting key : {setting::account_domain, setting::account_server, setting::account_outbound}) {
            const std::string value = proxy_host(account_setting(n, key));
            if (!value.empty())
                settings.push_back({section, setting_entry(key).key, value});
        }
    }
    if (p2p == "yes")
        for (const std::string& word :
             allowed_host_words(setting_value(setting::p2p_allowed_hosts)))
            settings.push_back({"account_info_p2p", "allowed_hosts", word});
    return settings;
}

resolution resolve_host(const std::string& host)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address
    addrinfo* found = nullptr;
    const int failed = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    const addrinfo_ptr answers(found);
    if (failed != 0)
        return {{}, failed == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(failed)};
    resolution out;
    for (const addrinfo* a = answers.get(); a; a = a->ai_next)
        if (const std::optional<ip_address> address = ip_address::from_sockaddr(a->ai_addr))
            out.addresses.push_back(*address);
    return out;
}

// The user agent's configuration file, or nothing with the reason.
std::optional<std::string> read_config(const std::string& path, std::string& error)
{
    return read_file_text(path, config_limit, error);
}

// The plan for the settings as they are now, with every problem and note
// said; nothing when the settings cannot be read.
std::optional<filter_plan> current_plan(const std::string& ua_dir)
{
    std::string error;
    const std::optional<std::string> config = read_config(ua_dir + "/config", error);
    const std::optional<std::vector<trusted_setting>> settings = trusted_settings();
    if (!settings)
        error = "cannot read " + station_path(speaker_conf);
    if (!config || !settings) {
        std::fprintf(stderr, "sipbridge: %s: the filter is left as it is\n", error.c_str());
        return std::nullopt;
    }
    filter_plan plan = plan_filter(*config, *settings, resolve_host);
    const std::string user = bridge_user();
    plan.rules.bridge_uid = user_id(user);
    if (plan.rules.control_port && !plan.rules.bridge_uid)
        plan.problems.push_back("the bridge's user " + user +
                                " is unknown here (STATION_BRIDGE_USER): no one may connect to the control port " +
                                std::to_string(*plan.rules.control_port));
    const tls_plan tls = plan_tls_destinations(enabled_settings_accounts());
    plan_relay(plan, tls.destinations, resolve_host);
    const std::string ua = user_agent_user();
    plan.rules.ua_uid = user_id(ua);
    // Without TLS accounts the rules only keep stray TLS in; with them, the
    // accounts' TLS depends on them.
    if (!plan.rules.ua_uid)
        (tls.destinations.empty() ? plan.notes : plan.problems)
            .push_back("the user agent's user " + ua +
                       " is unknown here (STATION_UA_USER): its TLS cannot be held to the relay that verifies the "
                       "PBX");
    for (const std::string& problem : plan.problems)
        std::fprintf(stderr, "sipbridge: %s\n", problem.c_str());
    for (const std::string& note : plan.notes)
        std::fprintf(stderr, "sipbridge: %s\n", note.c_str());
    return plan;
}

// Runs "nft -f -" with the ruleset on its standard input; the exit status,
// or nothing with the reason when nft could not run.
std::optional<int> run_nft(const std::string& ruleset, std::string& error)
{
    const std::string nft = find_on_path(nft_program);
    if (nft.empty()) {
        error = std::string("no ") + nft_program + " on PATH";
        return std::nullopt;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, read_end.get(), 0);
    std::vector<std::string> words = {nft_program, "-f", "-"};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int failed = ::posix_spawn(&child, nft.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        error = nft + ": " + std::strerror(failed);
        return std::nullopt;
    }
    read_end.reset();

    // An nft that ends early closes the pipe: the write fails (the process
    // survives SIGPIPE) and its status tells why.
    for (std::size_t done = 0; done < ruleset.size();) {
        const ssize_t n = ::write(write_end.get(), ruleset.data() + done, ruleset.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    write_end.reset();

    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            error = std::string("waitpid: ") + std::strerror(errno);
            return std::nullopt;
        }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    error = nft + " ended by signal " + std::to_string(WTERMSIG(status));
    return std::nullopt;
}

}  // namespace

int print_filter(const std::string& ua_dir)
{
    const std::optional<filter_plan> plan = current_plan(ua_dir);
    if (!plan)
        return 1;
    std::fputs(filter_ruleset(plan->rules).c_str(), stdout);
    return plan->problems.empty() ? 0 : 1;
}

int apply_filter(const std::string& ua_dir)
{
    const std::optional<filter_plan> plan = current_plan(ua_dir);
    if (!plan)
        return 1;
    std::string error;
    const std::optional<int> status = run_nft(filter_ruleset(plan->rules), error);
    if (!status || *status != 0) {
        if (status)
            error = std::string(nft_program) + " -f - failed with status " + std::to_string(*status);
        std::fprintf(stderr, "sipbridge: %s: the filter is not loaded\n", error.c_str());
        return 1;
    }
    std::printf("sipbridge: filter loaded (table inet %s): %s\n", filter_table, filter_summary(plan->rules).c_str());
    return plan->problems.empty() ? 0 : 1;
}
