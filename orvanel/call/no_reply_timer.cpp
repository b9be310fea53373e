#include "orvanel/call/no_reply_timer.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "common/never_destroyed.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/message_queue.h"
#include "orvanel/core/next_hop_messages.h"
#include "orvanel/core/publish.h"
#include "orvanel/records/message_log.h"

namespace {

using clock = std::chrono::steady_clock;

// Established, or an incoming call ringing at this station.

class one_shot_timer {
public:
    void set(unsigned seconds)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (seconds == 0)
            deadline_.reset();
        else
            deadline_ = clock::now() + std::chrono::seconds(seconds);
        changed_.notify_one();
    }

    // Sleeps until there is a deadline and it has passed, then runs the
    // expiry without holding the timer's mutex, so the expiry's own steps
    // may start or cancel the timer.
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (!deadline_) {
                changed_.wait(lock);
                continue;
            }
            if (clock::now() < *deadline_) {
                changed_.wait_until(lock, *deadline_);
                continue;
            }
            deadline_.reset();
            expiring_ = true;
            lock.unlock();
            on_no_reply_alarm(SIGALRM);
            lock.lock();
            expiring_ = false;
            expired_.notify_all();
        }
    }

    // Cancels the deadline and waits while an expiry that has begun runs.
    void cancel_and_wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        deadline_.reset();
        changed_.notify_one();
        expired_.wait(lock, [this] { return !expiring_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable expired_;
    std::optional<clock::time_point> deadline_;
    bool expiring_ = false;
};

one_shot_timer& timer()
{
    static never_destroyed<one_shot_timer> instance;
    return instance.get();
}

}  // namespace

void no_reply_timer_thread()
{
    timer().run();
}

void no_reply_alarm(unsigned seconds)
{
    timer().set(seconds);
}

bool start_no_reply_alarm(const std::string& seconds_text)
{
    const int seconds = std::atoi(seconds_text.c_str());
    no_reply_alarm(seconds > 0 ? static_cast<unsigned>(seconds) : 0u);
    return seconds > 0;
}

void cancel_no_reply_alarm()
{
    no_reply_alarm(0);
    next_hop_timer_armed = 0;
}

void cancel_no_reply_alarm_and_wait()
{
    timer().cancel_and_wait();
    next_hop_timer_armed = 0;
}

void on_no_reply_alarm(int)
{
    log_print(LEVEL_INFO, "callback\n");
    in_alarm_callback = 1;
    // Once it has fired, a busy retry is no longer pending.
    next_hop_timer_armed = 0;
    const int status = baresip_status;
    // The station is idle once the alarm has run. The status is settled
    // before the hang-up or the retry goes out: the close event and the dial
    // that follow them must find it settled, not be undone by it. A call
    // that is established or rings here keeps its status, or the next key
    // press would dial instead of hanging up or answering; that holds also
    // for a status stored while this one is.
    enter_idle_unless_answered_or_ringing();
    if (status == STATUS_OUTGOING_RINGING)
        publish_command(TARGET_CONTROL, hangupall_command);
    else if (abnormal_hangup == 1 && !call_answered_or_ringing(status))
        queue_push(next_hop_queue.get(), 100, HOP_RETRY_DUE);
    in_alarm_callback = 0;
    log_print(LEVEL_INFO, "callback end\n");
}
