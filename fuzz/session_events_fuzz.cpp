// The session-event intake: whatever arrives on session-channel, as a pub/sub
// reply of any shape, is handed to the event handling of orvanel, which
// changes the call state, pushes operation-log entries, commands and relay
// requests, and starts the no-reply alarm, against the fuzz station.
#include <thread>
#include <vector>

#include <hiredis/hiredis.h>

#include "common/oplog.h"
#include "common/station_protocol.h"
#include "fuzz/fuzz_station.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/call/session_events.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/operation_log.h"

namespace {

redisReply string_element(std::string& text)
{
    redisReply element{};
    element.type = REDIS_REPLY_STRING;
    element.str = text.data();
    element.len = text.size();
    return element;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_station::get();  // the call state is as orvanel has it at load
    redis_pool = redis_pool_create(redis_socket);
    queue_create(5, next_hop_queue);
    set_oplog_push(push_oplog_entry);
    std::thread(no_reply_timer_thread).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_station::get().tidy();
    // The first byte picks the reply's shape: mostly a message as the
    // subscription delivers it, sometimes what no server should send.
    const unsigned shape = size > 0 ? data[0] % 8 : 0;
    std::string kind = "message";
    std::string channel = session_channel;
    std::string payload = size > 0 ? fuzz_text(data + 1, size - 1) : std::string();
    std::vector<redisReply> elements{string_element(kind), string_element(channel), string_element(payload)};
    std::vector<redisReply*> pointers{&elements[0], &elements[1], &elements[2]};
    redisReply reply{};
    reply.type = REDIS_REPLY_ARRAY;
    reply.element = pointers.data();
    reply.elements = pointers.size();
    if (shape == 1) {
        reply.elements = 2;
    } else if (shape == 2) {
        elements[2].type = REDIS_REPLY_INTEGER;
        elements[2].integer = 7;
        elements[2].str = nullptr;
        elements[2].len = 0;
    } else if (shape == 3) {
        reply.type = REDIS_REPLY_NIL;
        reply.elements = 0;
        reply.element = nullptr;
    }
    handle_session_event(&reply);
    // Keeps the call state moving: now and then the call is let go and the
    // station is not ready, as at load, so that a registration makes it idle
    // and a run reaches the rules of an idle station again.
    if (shape == 7 && size > 1 && data[1] == 0) {
        release_call();
        enter_not_ready();
        set_led_states(LED_NO_ACCOUNT);
        dtmf_digits.clear();
    }
    return 0;
}
