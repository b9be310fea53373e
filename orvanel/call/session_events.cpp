#include "orvanel/call/session_events.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/call/call_events.h"
#include "orvanel/call/registration_events.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"

namespace {

constexpr const char* listing_start = "\n--- User Agents";

// Compared in place: an event meets up to a dozen of these on its way.
bool is(const cJSON* event, const char* member, const char* value)
{
    const cJSON* item = cJSON_GetObjectItem(event, member);
    return cJSON_IsString(item) && item->valuestring && std::strcmp(item->valuestring, value) == 0;
}

bool is_listing(const cJSON* event)
{
    const cJSON* flag = cJSON_GetObjectItem(event, event_field::event);
    return cJSON_IsFalse(flag) && json_has_string(event, event_field::data) &&
           json_string_member(event, event_field::data).rfind(listing_start, 0) == 0;
}

bool subscribe(redisContext* c)
{
    reply_ptr confirmed = redis_command(c, "SUBSCRIBE %s", session_channel);
    return confirmed && confirmed->type == REDIS_REPLY_ARRAY;
}

}  // namespace

bool dispatch_session_event(const cJSON* event)
{
    const bool incoming = is(event, event_field::direction, "incoming");
    const bool outgoing = is(event, event_field::direction, "outgoing");
    if (incoming && is(event, event_field::type, "CALL_ESTABLISHED"))
        return on_incoming_established(event);
    if (outgoing && is(event, event_field::type, "CALL_ESTABLISHED"))
        return on_outgoing_established(event);
    if (incoming && is(event, event_field::type, "CALL_CLOSED"))
        return on_incoming_closed(event);
    if (outgoing && is(event, event_field::type, "CALL_CLOSED"))
        return on_outgoing_closed(event);
    if (incoming && is(event, event_field::type, "CALL_INCOMING"))
        return on_call_incoming(event);
    if (outgoing && is(event, event_field::type, "CALL_OUTGOING"))
        return on_call_outgoing(event);
    if (is(event, event_field::type, "CALL_DTMF_START"))
        return on_dtmf_received(event);
    if (is(event, event_field::type, "REGISTER_OK"))
        return on_register_ok(event);
    if (is(event, event_field::type, "REGISTER_FAIL") || is(event, event_field::type, "UNREGISTERING"))
        return on_register_lost(event);
    if (is(event, event_field::type, "EXIT"))
        return on_user_agent_exit(event);
    if (is_listing(event))
        return on_user_agent_listing(event);
    return false;  // not an event of the station: ignored
}

void handle_session_event(const redisReply* reply)
{
    const std::optional<std::string> payload = published_text(reply);
    if (!payload)
        return;  // the confirmation of SUBSCRIBE, or the answer to a check
    // The console goes to the journal: the payload is one line there, as in
    // the message log.
    std::printf("Msg [%s]\n", one_line(*payload).c_str());
    json_ptr event(cJSON_Parse(payload->c_str()));
    if (!event) {
        std::puts("parse failed!");
        return;
    }
    if (dispatch_session_event(event.get()) && debug_mode)
        std::printf("Baresip Status is: %d\n", baresip_status.load());
}

void Baresip_thread()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Baresip_thread");
    redis_ptr connection = open_own_connection(subscription_answer);
    if (!connection)
        end_process(255);
    subscribe(connection.get());
    for (;;) {
        if (reply_ptr reply = next_subscribed_reply(connection.get(), subscription_quiet, subscription_answer)) {
            handle_session_event(reply.get());
            continue;
        }
        // The server went away or stopped answering: without events the
        // station would be deaf to calls, so subscribe again on a new
        // connection.
        log_print(LEVEL_WARN, "%s connection lost, reconnecting\n", session_channel);
        connection = redis_reconnect(subscription_answer, subscribe);
        log_print(LEVEL_NOTICE, "%s subscribed again\n", session_channel);
    }
}
