#include "check/door_check.h"

#include <cctype>
#include <cstdlib>

#include "common/c_holders.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/sip_address.h"
#include "sipbridge/filter/sip_filter.h"

namespace {

constexpr const char* area = "door";

using guard = door_code_guard;

// A code shorter than this is found by trying within the lockouts' limits.
constexpr std::size_t shortest_code = 4;

void add(findings& out, const std::string& item, verdict level, const std::string& text)
{
    out.push_back({area, item, level, text});
}

bool dtmf_digit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

void check_call_relay(findings& out, const settings_as_read& settings)
{
    const std::string call_state = setting_as_read(settings, setting::relay_call_state);
    const std::string state_info = setting_as_read(settings, setting::relay_state_info);
    if (call_state != "yes") {
        add(out, "relay on calls", verdict::ok, "relay_ctrl:call_state is not yes: calls do not switch the relay");
        return;
    }
    if (state_info == "incoming" || state_info == "both")
        add(out, "relay on calls", verdict::error,
            "call_state = yes with state_info = " + state_info +
                ": every call to the station opens the door without a code; use the door code "
                "(relay_ctrl:dtmf = yes) and set call_state = no");
    else if (state_info == "outgoing")
        add(out, "relay on calls", verdict::error,
            "call_state = yes with state_info = outgoing: a visitor's press of a call key opens the door "
            "without a code; set call_state = no");
    else if (state_info == "answered")
        add(out, "relay on calls", verdict::warning,
            "call_state = yes with state_info = answered: every answered call opens the door without a "
            "code, whoever answers; use the door code instead where that is not meant");
    else
        add(out, "relay on calls", verdict::ok, "the relay follows calls with state_info = " + report_value(state_info));
}

void check_code(findings& out, const settings_as_read& settings)
{
    if (setting_as_read(settings, setting::relay_dtmf) != "yes") {
        add(out, "door code", verdict::ok, "relay_ctrl:dtmf is not yes: no code opens the door; digits are only recorded");
        return;
    }
    const std::string code = setting_as_read(settings, setting::relay_dtmf_code);
    if (code.empty()) {
        add(out, "door code", verdict::error,
            "relay_ctrl:dtmf = yes with an empty dtmf_code: any digit a caller sends opens the door; "
            "set a code of at least " + std::to_string(shortest_code) + " digits");
        return;
    }
    for (const char c : code)
        if (!dtmf_digit(c)) {
            add(out, "door code", verdict::error,
                "relay_ctrl:dtmf_code holds a character no telephone sends: the code never matches and "
                "the door never opens by code; use digits only");
            return;
        }
    if (code.size() < shortest_code)
        add(out, "door code", verdict::warning,
            "relay_ctrl:dtmf_code has " + std::to_string(code.size()) + " digits: short enough to be guessed; use at least " +
                std::to_string(shortest_code));
    else
        add(out, "door code", verdict::ok, std::to_string(code.size()) + " digits (not shown)");

    const std::string tries_text = setting_as_read(settings, setting::relay_dtmf_tries);
    const int tries = guard::tries_of_setting(tries_text);
    const std::string limits = std::to_string(tries) + " tries per call; once the wrong digits since the last "
                               "right code come to " + std::to_string(guard::calls_to_lock) +
                               " calls' tries, codes are refused for " +
                               std::to_string(guard::first_lockout.count()) + " s, doubling up to " +
                               std::to_string(guard::longest_lockout.count()) + " s";
    if (!tries_text.empty() && std::to_string(tries) != tries_text)
        add(out, "door code tries", verdict::warning,
            "relay_ctrl:dtmf_tries " + report_value(tries_text) + " is no positive whole number: the station takes " + limits);
    else if (tries > 10)
        add(out, "door code tries", verdict::warning, limits + "; so many tries help a guesser: use 3 to 5");
    else
        add(out, "door code tries", verdict::ok, limits);
}

void check_lockout(findings& out, const std::optional<door_lockout>& lockout)
{
    if (!lockout) {
        add(out, "door code lockout", verdict::warning, "its state could not be read from Redis");
        return;
    }
    if (lockout->remaining.count() > 0)
        add(out, "door code lockout", verdict::warning,
            "in force for " + std::to_string((lockout->remaining.count() + 999) / 1000) +
                " s more: every code is refused until then (" + std::to_string(lockout->lockouts) +
                " lockouts in a row); it ends by itself");
    else if (lockout->wrong_digits > 0)
        add(out, "door code lockout", verdict::ok,
            "none in force; " + std::to_string(lockout->wrong_digits) +
                " wrong digits since the last right code count towards the next");
    else
        add(out, "door code lockout", verdict::ok, "none in force");
}

// Whether the list "a, b, c" holds the word.
bool contains_word(const std::string& list, const std::string& word)
{
    return (", " + list + ",").find(", " + word + ",") != std::string::npos;
}

void check_callers(findings& out, const settings_as_read& settings)
{
    const std::vector<trusted_caller> callers = trusted_callers(settings);
    std::string hosts;
    for (const trusted_caller& caller : callers) {
        if (!host_of(caller.word)) {
            add(out, "trusted callers", verdict::warning,
                caller.setting + " " + report_value(caller.word) +
                    " is no host name or address: the filter leaves it out, so its calls are refused");
            continue;
        }
        // A host word holds no blank, comma or control character, or
        // host_of would have refused it.
        if (!contains_word(hosts, caller.word))
            hosts += (hosts.empty() ? "" : ", ") + caller.word;
    }
    const bool p2p = setting_as_read(settings, setting::p2p_enable) == "yes";
    if (p2p && setting_as_read(settings, setting::p2p_allowed_hosts).empty())
        add(out, "trusted callers", verdict::warning,
            "the P2P line is on but account_info_p2p:allowed_hosts is empty: the filter refuses every P2P call; "
            "name the hosts that may call");
    if (hosts.empty())
        add(out, "trusted callers", verdict::warning, "no host is trusted: the filter refuses every call");
    else
        add(out, "trusted callers", verdict::ok,
            "the packet filter takes calls only from " + hosts +
                "; its rules cannot be read as the station's user: the state of station-filter under programs "
                "says whether it loaded, and `nft list table inet " +
                std::string(filter_table) + "` as root shows them");
}

}  // namespace

std::vector<trusted_caller> trusted_callers(const settings_as_read& settings)
{
    std::vector<trusted_caller> callers;
    for (const int n : account_numbers) {
        if (setting_as_read(settings, setting::account_enable, n) != "yes")
            continue;
        for (const setting key : {setting::account_domain, setting::account_server, setting::account_outbound}) {
            const std::string value = proxy_host(setting_as_read(settings, key, n));
            if (!value.empty())
                callers.push_back({setting_name(key, n), value});
        }
    }
    if (setting_as_read(settings, setting::p2p_enable) == "yes")
        for (const std::string& word : allowed_host_words(setting_as_read(settings, setting::p2p_allowed_hosts)))
            callers.push_back({"account_info_p2p:allowed_hosts", word});
    return callers;
}

findings check_door(const settings_as_read& settings, const std::optional<door_lockout>& lockout)
{
    findings out;
    if (!settings.speaker)
        return out;  // the settings check says the file cannot be read
    check_call_relay(out, settings);
    check_code(out, settings);
    check_lockout(out, lockout);
    check_callers(out, settings);
    return out;
}
