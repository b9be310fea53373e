// How the threads that block on Redis behave when a pop fails: a lost
// connection, or an error reply (the key holds another type than a list, so
// BRPOP answers at once, for as long as the key stays). Either way they pause
// before the next attempt instead of asking again at once, and a run of
// error replies is reported once, not at every attempt.
#pragma once

#include <chrono>
#include <string>

#include <hiredis/hiredis.h>

inline constexpr std::chrono::seconds redis_retry_pause{1};

class refused_pops {
public:
    // How this program reports the first error reply of a run: a line that
    // names the list and gives the server's error text.
    using report_fn = void (*)(const std::string& line);

    refused_pops(const char* key, report_fn report) : key_(key), report_(report) {}

    // True when the reply is an error reply: the first of a run is reported
    // and the call returns after the pause. Any other reply ends a run.
    bool wait_out(const redisReply* reply);

private:
    const char* key_;
    report_fn report_;
    bool in_run_ = false;
};
