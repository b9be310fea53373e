// The no-reply timer: one one-shot timer for the whole process, with the
// semantics of alarm(): a start replaces a pending deadline and 0 cancels it.
// Its expiry runs on_no_reply_alarm on the timer's own thread, never inside a
// signal handler, because the expiry logs, publishes and pushes onto the
// next-hop queue, all of which take locks.
#pragma once

#include <string>

// The timer's thread, started at start-up with the worker threads; never
// returns. A deadline set before it runs waits for it.
void no_reply_timer_thread();

void no_reply_alarm(unsigned seconds);

// Starts the timer for the seconds in a setting's text (atoi: empty or
// non-numeric text gives 0, which starts nothing and cancels a pending one).
// True when a deadline was set.
bool start_no_reply_alarm(const std::string& seconds_text);

// Cancels the timer and clears next_hop_timer_armed.
void cancel_no_reply_alarm();

// The same, and returns only once an expiry that had begun has ended: for
// a caller about to take away what the expiry uses (the Redis pool, the
// next-hop queue). Never from the expiry's own steps, which it would wait on.
void cancel_no_reply_alarm_and_wait();

// What happens when the timer expires: hang up a call that still rings, or
// ask for the next number after a busy or unavailable end. A call that is
// established or ringing at this station meanwhile keeps its status.
void on_no_reply_alarm(int);
