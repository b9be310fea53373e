#include "orvanel/startup.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include <unistd.h>

#include "common/oplog.h"
#include "common/process.h"
#include "common/redis_trust.h"
#include "common/station_root.h"
#include "orvanel/call/next_intercom.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/call/session_events.h"
#include "orvanel/call/start_status.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/keys/indicators.h"
#include "orvanel/keys/key_self_test.h"
#include "orvanel/keys/key_watchers.h"
#include "orvanel/records/call_record_writer.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/operation_log.h"
#include "orvanel/relay/door_code.h"

const std::array<worker_thread, 10> worker_threads{{
    {"Check_Button_GPIO140", Check_Button_GPIO140},
    {"Baresip_thread", Baresip_thread},
    {"Led_State_GPIO140", Led_State_GPIO140},
    {"Led_State_GPIO67", Led_State_GPIO67},
    {"Next_intercom", Next_intercom},
    {"write_opnlog", write_opnlog},
    {"Check_Button_GPIO67", Check_Button_GPIO67},
    {"Check_Button_GPIO3", Check_Button_GPIO3},
    {"Devie_State", Devie_State},
    {"write_cdr", write_cdr},
}};

namespace {

// The no-reply timer's thread is no worker of the table; it starts after
// them and fails as they do.
const worker_thread no_reply_timer_worker{"no_reply_timer", no_reply_timer_thread};

void start_worker(const worker_thread& worker)
{
    try {
        // The workers run until the process ends; nobody joins them.
        std::thread(worker.entry).detach();
    } catch (const std::system_error&) {
        log_print(LEVEL_WARN, "create thread \"%s\" failed\n", worker.name);
        end_process(1);
    }
}

}  // namespace

void start_worker_threads()
{
    for (const worker_thread& worker : worker_threads)
        start_worker(worker);
    start_worker(no_reply_timer_worker);
}

void orvanel_main(int argc, char** argv)
{
    start_program(argc, argv);

    redis_pool = redis_pool_create(redis_socket);
    set_oplog_push(push_oplog_entry);
    read_start_call_status();
    queue_create(5, next_hop_queue);  // an absent queue makes every push and pop fail
    log_init("/userdata/log/orvanel.log");
    // From here on a refused Redis server is told in the message log (the
    // pool's connections before it say so on the console).
    set_server_trust_report([](bool refused, const std::string& line) {
        log_print(refused ? LEVEL_ERROR : LEVEL_NOTICE, "%s\n", line.c_str());
    });
    restore_dtmf_lockout();
    start_worker_threads();

    for (;;)
        sleep(3600);
}
