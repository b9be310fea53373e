#include "orvanel/call/next_intercom.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/oplog.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/dial.h"
#include "orvanel/core/key_settings.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/next_hop_messages.h"
#include "orvanel/records/message_log.h"

namespace {

// No next number follows: the key lets go of the call, so the other key can
// dial again.
void end_chain(int& position)
{
    cancel_no_reply_alarm();
    position = 0;
    release_call_and_idle();
}

void dial_next_number(int& position)
{
    const int hop = position + 2;
    const int key = active_key;  // other keys than 1 and 2 have no numbers
    const std::string number = key_setting(key, setting::key_next_number, hop);
    const std::string line = key_setting(key, setting::key_number_line, hop);
    if (number.empty()) {
        // An empty number ends the chain, even when a later one is set.
        log_print(LEVEL_NOTICE, "第%d个号码为空\n", hop);
        end_chain(position);
        return;
    }
    const int line_number = std::atoi(line.c_str());
    if (dial_number(number, line_number, false)) {
        write_oplog("FUNCTION", "KEY1 Call", number + " <" + account_label(line_number) + ">");
        ++position;
        return;
    }
    // A line whose account cannot dial places no call, so no further message
    // follows: the chain stops here and the position stays, but the key
    // lets go of the call.
    release_call();
}

}  // namespace

void on_next_hop_message(int type, int& position)
{
    switch (type) {
    case HOP_NEXT_NUMBER_DUE:
    case HOP_RETRY_DUE:
    case HOP_NO_REPLY_HUNG_UP:
        if (position >= 4) {
            end_chain(position);  // numbers 2 to 5 are used up
        } else if (manual_hangup == 1) {
            // Hung up with the key: no next number. A retry or a due number
            // also forgets the chain; a no-reply hang-up keeps the position.
            if (type != HOP_NO_REPLY_HUNG_UP)
                position = 0;
            cancel_no_reply_alarm();
            enter_idle();
            manual_hangup = 0;
        } else {
            dial_next_number(position);
        }
        break;
    case HOP_KEY_HUNG_UP:
        position = 0;
        break;
    default:
        break;
    }
}

void Next_intercom()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Next_intercom");
    int position = 0;
    for (;;) {
        int type = 0;
        if (queue_pop(next_hop_queue.get(), 10000, &type) != 0) {
            // Without a queue every pop fails at once: wait as a time-out would.
            if (!next_hop_queue)
                std::this_thread::sleep_for(std::chrono::seconds(10));
            continue;
        }
        on_next_hop_message(type, position);
    }
}
