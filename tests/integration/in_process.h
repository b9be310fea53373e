// Tests that call orvanel's code in the test process against a real
// redis-server under a temporary station root.
#pragma once

#include <thread>

#include <gtest/gtest.h>

#include "common/process.h"
#include "orvanel/core/call_state.h"
#include "common/c_holders.h"
#include "common/oplog.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/call/session_events.h"
#include "orvanel/call/registration_events.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/call_record_writer.h"
#include "orvanel/records/operation_log.h"
#include "station_kit/station.h"

class InProcessStation : public ::testing::Test {
protected:
    void SetUp() override
    {
        survive_broken_pipes();
        debug_mode = 0;
        begin_at_load();
        forget_registration_failures();
        drop_held_call_records();
        redis_pool = redis_pool_create(redis_socket);
        queue_create(5, next_hop_queue);
        set_oplog_push(push_oplog_entry);
        // orvanel starts the timer's thread at start-up; the test process
        // starts it with its first station and keeps it.
        static const bool timer_running = [] {
            std::thread(no_reply_timer_thread).detach();
            return true;
        }();
        (void)timer_running;
    }
    void TearDown() override
    {
        // An expiry that began as the test ended still uses the pool and
        // the queue: it ends before they go.
        cancel_no_reply_alarm_and_wait();
        next_hop_queue.reset();
        redis_pool.reset();
        debug_mode = 0;
    }

    // The call state as orvanel has it at load: each test in this process
    // begins there.
    static void begin_at_load()
    {
        release_call();
        enter_not_ready();
        set_led_states(LED_NO_ACCOUNT);
        key_test_mode = 0;
        for (auto& flag : account_registered)
            flag = 0;
        p2p_enabled = 0;
        in_alarm_callback = 0;
        manual_hangup = 0;
        next_hop_timer_armed = 0;
        abnormal_hangup = 0;
        dtmf_digits.clear();
    }

    // Hands one event to the dispatcher, as Baresip_thread would.
    void event(const std::string& text)
    {
        json_ptr parsed(cJSON_Parse(text.c_str()));
        ASSERT_TRUE(parsed) << text;
        dispatch_session_event(parsed.get());
    }

    // Operation-log entries pushed so far, oldest first.
    std::vector<std::string> oplog_entries()
    {
        auto items = client.list("writelog-channel");
        return {items.rbegin(), items.rend()};
    }

    // Call records handed over so far, oldest first (no writer runs here).
    std::vector<std::string> call_records()
    {
        auto items = client.list("cdr-channel");
        return {items.rbegin(), items.rend()};
    }

    kit_root root;
    root_in_process in_root{root};
    redis_server redis{root};
    redis_client client{root.socket()};
};
