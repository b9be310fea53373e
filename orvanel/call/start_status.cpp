#include "orvanel/call/start_status.h"

#include <cstdio>

#include "common/accounts.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"

int call_status_of_text(const std::string& text)
{
    if (text == call_status_idle)
        return STATUS_IDLE;
    if (text == call_status_answer)
        return STATUS_IN_CALL;
    if (text == call_status_ring)
        return STATUS_INCOMING_RINGING;
    if (text == call_status_ringing)
        return STATUS_OUTGOING_RINGING;
    return STATUS_NOT_READY;
}

int query_call_status(const std::string& key)
{
    int result = STATUS_NOT_READY;
    reply_ptr reply = redis_pool ? redis_pool->run("GET %s", key) : nullptr;
    if (reply && reply->type == REDIS_REPLY_STRING) {
        const std::string value(reply->str, reply->len);
        if (debug_mode)
            std::printf("SIP acc: %s, status: %s\n", key.c_str(), one_line(value).c_str());
        result = call_status_of_text(value);
    }
    adopt_reported_status(result);
    return result;
}

void read_start_call_status()
{
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        if (query_call_status(account_status_key(account_identity_of(n))) != STATUS_NOT_READY)
            account_flag(n) = 1;
    }
    if (p2p_account_enabled())
        p2p_enabled = 1;
    if (account_flag(1) == 1 || account_flag(2) == 1 || account_flag(3) == 1 || p2p_enabled == 1) {
        set_led_states(LED_READY);
    }
}
