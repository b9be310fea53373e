#include "orvanel/call/registration_events.h"

#include <optional>
#include <string>

#include "common/accounts.h"
#include "common/json_text.h"
#include "common/oplog.h"
#include "common/record_text.h"
#include "common/process.h"
#include "common/station_protocol.h"
#include "orvanel/core/call_state.h"
#include "orvanel/records/message_log.h"

namespace {

struct account_texts {
    const char* registered;
    const char* failed;
    const char* aor_name;  // names the account in the message log
    const char* lost_last;  // shell command when the last account is lost
};

const account_texts texts[3] = {
    {"Primary SIP Account <%s>", "Primary Account REGISTER FAILED <%s>", "accountaor1",
     "killall vlc > /dev/null 2>&1 &"},
    {"Secondary SIP Account-1 <%s>", "Secondary Account-1 REGISTER FAILED <%s>", "accountaor2",
     "killall vlc > /dev/null 2>&1"},
    {"Secondary SIP Account-2 <%s>", "Secondary Account-2 REGISTER FAILED <%s>", "accountaor3",
     "killall vlc > /dev/null 2>&1"},
};

// The entry text with the address of record in place of its "%s".
std::string with_address(const char* text, const std::string& address)
{
    std::string out = text;
    out.replace(out.find("%s"), 2, address);
    return out;
}

bool nothing_registered()
{
    return account_flag(1) == 0 && account_flag(2) == 0 && account_flag(3) == 0 && p2p_enabled == 0;
}

// The reason of each account's failure last entered in the operation log.
// A registrar that refuses an account refuses each retry alike, so a
// failure is entered once per episode: the first after the account
// registered or the user agent (or this program) started, and again only
// when the reason changes. Used on Baresip_thread alone.
std::optional<std::string> failure_entered[3];

void enter_failure(int n, const std::string& address, const std::string& reason)
{
    failure_entered[n - 1] = reason;
    write_oplog("SIP STATE", with_address(texts[n - 1].failed, address), unarmed_cells(reason));
}

// The first enabled account (1 to 3) that is not registered and has this
// address of record, or 0.
int unregistered_account(const std::string& aor)
{
    for (int n = 1; n <= 3; ++n)
        if (account_enabled(n) && account_flag(n) == 0 && account_address_of_record(account_identity_of(n)) == aor)
            return n;
    return 0;
}

// A failure of an enabled account that is not registered: its reason is
// what an installer needs to see, once.
void on_unregistered_failure(const std::string& aor, const std::string& reason)
{
    const int n = unregistered_account(aor);
    if (n == 0 || failure_entered[n - 1] == reason)
        return;
    log_print(LEVEL_ERROR, "%s:%s :%s\n", texts[n - 1].aor_name, aor.c_str(), aor.c_str());
    enter_failure(n, aor, reason);
}

}  // namespace

bool on_register_ok(const cJSON* event)
{
    const int status = baresip_status;
    if (status == STATUS_NOT_READY || status == STATUS_DIAL_REQUESTED ||
        json_string_member(event, event_field::event_class) == "init register")
        enter_idle();
    if (!json_has_string(event, event_field::account))
        return true;
    const std::string aor = json_string_member(event, event_field::account);

    const int n = unregistered_account(aor);
    if (n == 0)
        return true;
    set_led_states(LED_READY);
    account_flag(n) = 1;
    failure_entered[n - 1].reset();
    write_oplog("SIP STATE", "SIP REGISTERED", with_address(texts[n - 1].registered, aor));
    return false;
}

bool on_register_lost(const cJSON* event)
{
    if (!json_has_string(event, event_field::account))
        return true;
    const std::string aor = json_string_member(event, event_field::account);
    // UNREGISTERING is the user agent giving an account up on purpose (it
    // stops, or deletes the account): the account is lost, but nothing
    // failed, so no failure is entered.
    const bool failed = json_string_member(event, event_field::type) != "UNREGISTERING";
    const std::string reason = json_string_member(event, event_field::param);

    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n) || account_flag(n) != 1)
            continue;
        const std::string address = account_address_of_record(account_identity_of(n));
        log_print(LEVEL_ERROR, "%s:%s :%s\n", texts[n - 1].aor_name, address.c_str(), aor.c_str());
        if (address != aor)
            continue;
        account_flag(n) = 0;
        if (nothing_registered()) {
            enter_not_ready();
            set_led_states(LED_NO_ACCOUNT);
            run_shell(texts[n - 1].lost_last);
        }
        if (failed)
            enter_failure(n, address, reason);
        else
            log_print(LEVEL_NOTICE, "%s:%s un-registered by the user agent\n", texts[n - 1].aor_name,
                      address.c_str());
        return false;
    }
    if (failed)
        on_unregistered_failure(aor, reason);
    if (nothing_registered()) {
        log_print(LEVEL_NOTICE, "全部注册失败\n");
        set_led_states(LED_NO_ACCOUNT);
    }
    return true;
}

bool on_user_agent_exit(const cJSON*)
{
    run_shell("killall vlc > /dev/null 2>&1 &");
    enter_not_ready();
    set_led_states(LED_NO_ACCOUNT);
    for (int n = 1; n <= 3; ++n)
        account_flag(n) = 0;
    forget_registration_failures();  // a new user agent starts a new episode
    write_oplog("SIP STATE", "APP EXIT", "");
    return true;
}

void forget_registration_failures()
{
    for (std::optional<std::string>& reason : failure_entered)
        reason.reset();
}

bool on_user_agent_listing(const cJSON*)
{
    if (p2p_account_enabled()) {
        // The listing makes a station that was not ready ready; a call in
        // progress or a dial under way keeps its status.
        leave_not_ready();
        if (p2p_enabled == 0) {
            p2p_enabled = 1;
            write_oplog("SIP STATE", "P2P ACCOUNT", "Enabled");
        }
    } else if (p2p_enabled == 1) {
        p2p_enabled = 0;
        write_oplog("SIP STATE", "P2P ACCOUNT", "Disabled");
    }
    return true;
}
