#include "orvanel/call/call_events.h"

#include "common/json_text.h"
#include "common/oplog.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/key_settings.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/next_hop_messages.h"
#include "orvanel/records/call_records.h"
#include "orvanel/records/message_log.h"
#include "orvanel/relay/door_code.h"
#include "orvanel/relay/relay_triggers.h"

namespace {

const std::string own_hangup_reason = "Connection reset by user";
const std::string peer_hangup_reason = "Connection reset by peer [104]";

void set_active_led(int state)
{
    set_led_state(active_key, state);
}

void clear_dtmf()
{
    if (!dtmf_digits.empty())
        dtmf_digits.clear();
}

void post_next_hop(next_hop_message type)
{
    queue_push(next_hop_queue.get(), 100, type);
}

// What every close that ends the call here does: the close is logged, the
// station is idle again (unless the user agent is gone), the relay follows
// the hang-up, the call record is written and the call's DTMF digits go.
void closing_steps(const std::string& reason)
{
    write_oplog("SIP STATE", "CALL CLOSED", unarmed_cells(reason));
    end_call_status();
    relay_on_hangup(reason);
    clear_dtmf();
}

// A call of the tamper key ends without a close line: the key lets go and
// the station is idle. False, as a handler that ended early.
bool release_tamper_call()
{
    release_call_and_idle();
    return false;
}

std::string cut_uri(const std::string& peeruri)
{
    return peeruri.substr(0, 127);
}

}  // namespace

std::string incoming_peer_name(const std::string& peeruri)
{
    const std::string uri = cut_uri(peeruri);
    return uri.substr(0, uri.find('@'));
}

std::string outgoing_peer_name(const std::string& peeruri)
{
    const std::string uri = cut_uri(peeruri);
    const std::size_t at = uri.find('@');
    return uri.substr(0, at != std::string::npos ? at : uri.find(';'));
}

std::string peer_number(const std::string& peer_name)
{
    return peer_name.size() > 4 ? peer_name.substr(4) : std::string();
}

bool on_incoming_established(const cJSON*)
{
    log_print(LEVEL_INFO, "incoming established\n");
    set_active_led(LED_READY);
    write_oplog("SIP STATE", "CALL ESTABLISHED", "incoming");
    establish_call();
    cdr_answered();
    relay_on_answered();
    return true;
}

bool on_outgoing_established(const cJSON*)
{
    set_active_led(LED_READY);
    log_print(LEVEL_INFO, "outgoing established\n");
    if (in_alarm_callback != 1)
        cancel_no_reply_alarm();
    write_oplog("SIP STATE", "CALL ESTABLISHED", "outgoing");
    establish_call();
    cdr_answered();
    if (active_key != tamper_key)
        relay_on_answered();
    return true;
}

bool on_incoming_closed(const cJSON* event)
{
    const std::string param = json_string_member(event, event_field::param);
    log_print(LEVEL_INFO, "incoming closed\n");
    dtmf_call_ended();
    const int key = active_key;
    if (key == 1 || key == 2)
        set_led_state(key, LED_READY);
    else
        set_led_states(LED_READY);
    release_call();
    // A key's hang-up belongs to the call it ended.
    manual_hangup = 0;
    closing_steps(param);
    return true;
}

bool on_outgoing_closed(const cJSON* event)
{
    const std::string reason = json_string_member(event, event_field::param);
    log_print(LEVEL_INFO, "outgoing closed\n");
    dtmf_call_ended();
    if (in_alarm_callback != 1)
        cancel_no_reply_alarm();
    // Read and cleared in one step: whichever way this call ended, a key's
    // hang-up flag must not outlive it, or the next unanswered call of the
    // key would be taken for a key hang-up.
    const bool hung_up_by_key = manual_hangup.exchange(0) == 1;

    if (reason == own_hangup_reason && !hung_up_by_key) {
        // The station's own no-reply hang-up: the dialer goes on with the
        // next number of the chain.
        log_print(LEVEL_NOTICE, "Code huang up \n");
        set_active_led(LED_CALL_FAILED);
        enter_idle();
        // The call happened and nobody answered: it has its record (a call
        // that began none, as the tamper key's, still has none), though it
        // ends without a close entry and leaves the relay alone.
        if (cdr_begun())
            cdr_finish(reason);
        post_next_hop(HOP_NO_REPLY_HUNG_UP);
        return false;
    }

    if (reason == own_hangup_reason) {
        log_print(LEVEL_NOTICE, "Manual huang up \n");
        abnormal_hangup = 0;
        set_active_led(LED_READY);
        release_call_and_idle();
        post_next_hop(HOP_KEY_HUNG_UP);
        closing_steps(reason);
        return true;
    }

    if (reason == peer_hangup_reason) {
        log_print(LEVEL_NOTICE, "Connection reset by peer [104]\n");
        abnormal_hangup = 0;
        switch (active_key.load()) {
        case 1:
            set_led_state(1, LED_READY);
            log_print(LEVEL_INFO, "当前按钮gpio140 蓝灯常亮\n");
            break;
        case 2:
            log_print(LEVEL_INFO, "当前按钮gpio67 蓝灯常亮\n");
            set_led_state(2, LED_READY);
            break;
        case tamper_key:
            log_print(LEVEL_INFO, "当前按钮gpio3\n");
            return release_tamper_call();
        case no_key:
            log_print(LEVEL_INFO, "当前无按键\n");
            break;
        default:
            break;
        }
        release_call();
        closing_steps(reason);
        return true;
    }

    // Busy, declined, not found, a time-out...
    log_print(LEVEL_NOTICE, "非正常挂断 挂断原因:%s\n", reason.c_str());
    abnormal_hangup = 1;
    enter_idle();
    const int key = active_key;
    if (key == tamper_key)
        return release_tamper_call();
    if (key == 1 || key == 2) {
        set_active_led(LED_CALL_FAILED);
        const std::string busy_or_unuse = key_setting(key, setting::key_busy_or_unuse);
        const std::string next_time = key_setting(key, setting::key_next_time);
        const std::string next_number = key_setting(key, setting::key_next_number, 2);
        bool retry_armed = false;
        // After a hang-up with the key no next number is dialled, whatever
        // reason the user agent gives for the close.
        if (busy_or_unuse == "yes" && !next_number.empty() && !hung_up_by_key) {
            log_print(LEVEL_INFO, "start timer\n");
            // A time of 0 starts nothing, so no retry is pending. The alarm
            // fires a second later at the earliest, after the flag is set.
            retry_armed = start_no_reply_alarm(next_time);
            if (retry_armed)
                next_hop_timer_armed = 1;
        }
        // While the retry is armed the key keeps the call, so the dialer
        // uses its numbers. Without one nothing follows, and the other key
        // must not stay locked out.
        if (!retry_armed)
            release_call();
    }
    closing_steps(reason);
    return true;
}

bool on_call_incoming(const cJSON* event)
{
    const std::string peeruri = json_string_member(event, event_field::peer);
    log_print(LEVEL_INFO, "call incoming\n");
    set_led_states(LED_RINGING);
    if (next_hop_timer_armed == 1) {
        // A busy retry still waiting would dial while this call rings: the
        // call drops it, as a key press does, and with it the chain's key.
        cancel_no_reply_alarm();
        release_call();
    }
    write_oplog("SIP STATE", "INCOMING CALL", unarmed_cells(peeruri));
    if (enter_incoming_ringing())
        relay_on_incoming();
    cdr_begin_incoming(json_string_member(event, event_field::account), peer_number(incoming_peer_name(peeruri)));
    return true;
}

bool on_call_outgoing(const cJSON* event)
{
    const std::string peeruri = json_string_member(event, event_field::peer);
    log_print(LEVEL_INFO, "call outgoing\n");
    set_active_led(LED_RINGING);
    write_oplog("SIP STATE", "OUTGOING CALL", unarmed_cells(peeruri));

    // This timer hangs up an unanswered call; it does not arm a next hop.
    const int key = active_key;
    if (key == 1 || key == 2) {
        const bool no_reply = key_setting(key, setting::key_no_reply) == "yes";
        const std::string next_time = key_setting(key, setting::key_next_time);
        if (no_reply) {
            if (key == 1)
                log_print(LEVEL_INFO, "start timer\n");
            start_no_reply_alarm(next_time);
        } else {
            log_print(LEVEL_INFO, key == 1 ? "GPIO140 未开启无应答下一跳模式\n" : "GPIO67 未开启无应答下一跳模式\n");
        }
    }

    if (enter_outgoing_ringing())
        relay_on_outgoing();
    if (active_key != tamper_key)
        cdr_begin_outgoing(json_string_member(event, event_field::account), peer_number(outgoing_peer_name(peeruri)));
    return true;
}

bool on_dtmf_received(const cJSON* event)
{
    // Digits count only in an established call: a caller whose call still
    // rings must not try codes that nobody has let in.
    const int status = baresip_status;
    if (status != STATUS_IN_CALL) {
        dtmf_outside_call(status);
        return true;
    }
    const std::string param = json_string_member(event, event_field::param);
    const dtmf_take take = take_dtmf(param);
    if (!take.recorded)
        return true;
    write_oplog("FUNCTION", "RECEIVE DTMF", unarmed_cells(param));
    relay_on_dtmf(take);
    return true;
}
